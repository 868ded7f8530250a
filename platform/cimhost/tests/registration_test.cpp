// Registration files in the host CIMOM's stanza format.
#include <gtest/gtest.h>

#include "registration.h"

namespace {

using cimhost::parse_registrations;
using cimhost::Registration;
using cimhost::RegistrationError;

TEST(Registration, ReadsStanzasWithSeveralNamespaces) {
  const auto regs = parse_registrations(
      "# comment\n"
      "[Qelvo_ConcreteJob]\n"
      "   provider: Qelvo_ConcreteJobProvider\n"
      "   location: jobledger\n"
      "   type: instance method\n"
      "   namespace: qelvo/cimv2 selk/cimv2\n"
      "\n"
      "[QelvoSG_DeviceInSlot]\n"
      "\tprovider:PCIInfoProvider\n"
      "\tlocation: slotscan\n"
      "\ttype: association\n"
      "\tgroup: pci\n"
      "\tnamespace: /root/qelvosd/\n"
      "\tnamespace: root/other, root/third\n"
      "\tunload: never\n"
      "\tuser: root\n",
      "x.reg");
  ASSERT_EQ(regs.size(), 2u);
  EXPECT_EQ(regs[0].class_name, "Qelvo_ConcreteJob");
  EXPECT_EQ(regs[0].provider, "Qelvo_ConcreteJobProvider");
  EXPECT_EQ(regs[0].location, "jobledger");
  EXPECT_EQ(regs[0].types, cimhost::kInstanceProvider | cimhost::kMethodProvider);
  EXPECT_EQ(regs[0].namespaces, (std::vector<std::string>{"qelvo/cimv2", "selk/cimv2"}));
  EXPECT_EQ(regs[0].where(), "x.reg:2");
  EXPECT_FALSE(regs[0].never_unload);
  EXPECT_EQ(regs[1].group, "pci");
  EXPECT_TRUE(regs[1].serves(cimhost::kAssociationProvider));
  EXPECT_FALSE(regs[1].serves(cimhost::kInstanceProvider));
  EXPECT_EQ(regs[1].namespaces, (std::vector<std::string>{"root/qelvosd", "root/other", "root/third"}));
  EXPECT_TRUE(regs[1].never_unload);
  ASSERT_EQ(regs[1].other.size(), 1u);
  EXPECT_EQ(regs[1].other[0].first, "user");
}

TEST(Registration, DefaultsAndTheProductFiles) {
  auto regs = parse_registrations("[A]\nprovider: P\nlocation: l\ntype: INSTANCE\n");
  ASSERT_EQ(regs.size(), 1u);
  EXPECT_EQ(regs[0].namespaces, (std::vector<std::string>{"root/cimv2"}));
  EXPECT_TRUE(regs[0].serves(cimhost::kInstanceProvider));
  // What the product ships reads without complaint.
  regs = cimhost::read_registration_file(QELVO_MOF_DIR "/Qelvo_ConcreteJob.reg");
  ASSERT_EQ(regs.size(), 1u);
  EXPECT_EQ(regs[0].location, "jobledger");
}

TEST(Registration, RefusesMalformedStanzas) {
  const char *bad[] = {
      "provider: P\n",                                           // outside a stanza
      "[A]\nprovider P\n",                                       // no colon
      "[A]\nlocation: l\ntype: instance\n",                      // no provider
      "[A]\nprovider: P\ntype: instance\n",                      // no location
      "[A]\nprovider: P\nlocation: l\n",                         // no type
      "[A]\nprovider: P\nlocation: l\ntype: instance teleport\n", // unknown type
      "[A\nprovider: P\n",                                       // broken header
      "[A B]\nprovider: P\nlocation: l\ntype: instance\n",       // blank in the name
      "[]\n",
  };
  for (const char *text : bad) EXPECT_THROW(parse_registrations(text, "bad.reg"), RegistrationError) << text;
  try {
    parse_registrations("[A]\nprovider: P\nlocation: l\ntype: instance\n[B]\nprovider: Q\n", "f.reg");
    FAIL() << "no error";
  } catch (const RegistrationError &e) {
    EXPECT_STREQ(e.what(), "f.reg:5: [B] has no location");
  }
  EXPECT_THROW(cimhost::read_registration_file("/nonexistent/x.reg"), RegistrationError);
}

}  // namespace
