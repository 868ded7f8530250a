#include "test_support.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace slotscantest {

std::string DataDir() { return SLOTSCAN_TEST_DATA; }

std::string RecordedTable(const std::string &name) { return std::string(SMBIOS_TABLES_DIR) + "/" + name; }

std::vector<unsigned char> ReadBytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return std::vector<unsigned char>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

namespace {

void MakeDirs(const std::string &path)
{
    for (size_t slash = path.find('/', 1); ; slash = path.find('/', slash + 1)) {
        const std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("mkdir " + dir + ": " + std::strerror(errno));
        if (slash == std::string::npos)
            break;
    }
}

// Configuration headers from the text form of record-pci-tree.
std::map<std::string, std::string> ParseConfigs(const std::string &text)
{
    std::map<std::string, std::string> configs;
    std::istringstream in(text);
    std::string line, current;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            current = line.substr(1, line.find(']') - 1);
            configs[current];
            continue;
        }
        std::istringstream fields(line);
        std::string offset, byte;
        fields >> offset;
        if (current.empty() || std::stoul(offset, nullptr, 16) != configs[current].size())
            throw std::runtime_error("malformed configuration line: " + line);
        while (fields >> byte)
            configs[current].push_back(static_cast<char>(std::stoul(byte, nullptr, 16)));
    }
    return configs;
}

std::string ReadText(const std::string &path)
{
    const std::vector<unsigned char> b = ReadBytes(path);
    return std::string(b.begin(), b.end());
}

}  // namespace

void InstallPciTree(const std::string &name)
{
    const std::string dir = DataDir() + "/pci/" + name;
    InstallPciTree(ReadText(dir + "/devices"), ParseConfigs(ReadText(dir + "/config")));
}

void InstallPciTree(const std::string &devices, const std::map<std::string, std::string> &configs)
{
    const std::string root = "/tmp/recorded-pci-tree";
    MakeDirs(root);
    WriteFile(root + "/devices", devices);
    for (const auto &c : configs) {
        MakeDirs(root + "/" + c.first.substr(0, c.first.find('/')));
        WriteFile(root + "/" + c.first, c.second);
    }
    if (mount(root.c_str(), "/proc/bus/pci", nullptr, MS_BIND, nullptr) != 0)
        throw std::runtime_error(std::string("bind over /proc/bus/pci: ") + std::strerror(errno));
}

void WriteNameTables(const std::string &xml, const std::string &classlist)
{
    if (!xml.empty())
        WriteFile("/etc/vmware/pci.xml", xml);
    if (!classlist.empty())
        WriteFile("/etc/vmware/pci.classlist", classlist);
}

Smbios::TableSource ImageSource(std::vector<unsigned char> image)
{
    return [image](std::vector<unsigned char> &out) {
        out = image;
        return 0;
    };
}

Smbios::TableSource FileSource(const std::string &path) { return ImageSource(ReadBytes(path)); }

Smbios::TableSource FailingSource()
{
    return [](std::vector<unsigned char> &) { return -1; };
}

}  // namespace slotscantest
