// Names and fixed values of the PCI inventory classes.
#ifndef QELVO_SLOTSCAN_INVENTORY_H
#define QELVO_SLOTSCAN_INVENTORY_H

constexpr const char *kInventoryNamespace = "root/qelvosd";

constexpr const char *CLASS_PCIDEVICE = "QelvoSG_PCIDevice";
constexpr const char *CLASS_PCIBRIDGE = "QelvoSG_PCIBridge";
constexpr const char *CLASS_SYSTEM_SLOT = "QelvoSG_SystemSlot";
constexpr const char *CLASS_SYSTEM_BOARD = "QelvoSG_SystemBoard";
constexpr const char *CLASS_DEVICE_IN_SLOT = "QelvoSG_DeviceInSlot";
constexpr const char *CLASS_ONBOARD_DEVICE = "QelvoSG_OnBoardDevice";
constexpr const char *CLASS_SSPCICONTROLLER = "QelvoSG_SSPCIController";
constexpr const char *CLASS_OBDPCICONTROLLER = "QelvoSG_OBDPCIController";

constexpr const char *kSystemCreationClassName = "QelvoSG_ASSETID";
constexpr const char *kSystemBoardDeviceID = "SystemBoard1";
constexpr const char *kNotAvailableText = "Not Available";

#endif  // QELVO_SLOTSCAN_INVENTORY_H
