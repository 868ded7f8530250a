// The class definition and registration the CIMOM serves the provider by: every method with
// its parameters as the provider reads and answers them, on the CIM base classes it builds on.
#include <gtest/gtest.h>

#include <cimxml/mof.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using cimxml::CimType;

std::string Source(const std::string &name)
{
    std::ifstream f(std::string(QELVO_MOF_SOURCE_DIR) + "/" + name);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// The resolved class: its own features after those of its superclasses.
cimxml::ClassDecl Resolved(const std::vector<cimxml::ClassDecl> &classes, const std::string &name)
{
    for (const cimxml::ClassDecl &c : classes) {
        if (c.name != name)
            continue;
        if (c.superclass.empty())
            return cimxml::resolve_class(c, nullptr);
        const cimxml::ClassDecl parent = Resolved(classes, c.superclass);
        return cimxml::resolve_class(c, &parent);
    }
    throw std::runtime_error("no class " + name);
}

struct Param {
    std::string name;
    CimType type;
    bool array, in, out;
};

TEST(ServiceMof, MethodsAndParametersAsServed)
{
    std::vector<cimxml::ClassDecl> classes;
    for (const char *file : {"CIM_ConcreteJob.mof", "CIM_Service.mof", "Qelvo_FileTransferService.mof"}) {
        const std::string text = Source(file);
        ASSERT_FALSE(text.empty()) << file;
        cimxml::MofFile mof;
        ASSERT_NO_THROW(mof = cimxml::parse_mof(text, file)) << file;
        classes.insert(classes.end(), mof.classes.begin(), mof.classes.end());
    }
    cimxml::ClassDecl svc;
    ASSERT_NO_THROW(svc = Resolved(classes, "Qelvo_FileTransferService"));
    std::vector<std::string> keys = svc.key_names();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ((std::vector<std::string>{"CreationClassName", "Name", "SystemCreationClassName", "SystemName"}), keys);

    const CimType U8 = CimType::Uint8, U16 = CimType::Uint16, U32 = CimType::Uint32, S32 = CimType::Sint32,
                  STR = CimType::String, REF = CimType::Reference;
    const std::vector<Param> transfer = {{"SourceURI", STR, false, true, false},
                                         {"TransferOptions", U16, true, true, false},
                                         {"BlockSize", U16, false, true, false},
                                         {"Timeout", S32, false, true, false},
                                         {"DestinationURI", STR, false, false, true},
                                         {"Job", REF, false, false, true}};
    const std::vector<std::pair<std::string, std::vector<Param>>> methods = {
        {"CheckFreeSpace", {{"FreeBytes", U32, false, false, true}}},
        {"GetVersionNumber", {{"VersionNumber", STR, false, false, true}}},
        {"DeleteTransferredFile", {{"FileURI", STR, false, true, false}}},
        {"EmptyFileStore", {}},
        {"CheckFileIntegrityViaMD5",
         {{"FileURI", STR, false, true, false},
          {"ExpectedMD5Checksum", STR, false, true, false},
          {"CheckResult", U32, false, false, true}}},
        {"ListFileStore", {{"FileURIs", STR, false, false, true}}},
        {"TransferViaByteStream",
         {{"FileName", STR, false, true, false},
          {"FragmentationFlag", U8, false, true, false},
          {"FragmentOffset", U32, false, true, false},
          {"SourceImage", U8, true, true, false},
          {"DestinationURI", STR, false, false, true}}},
        {"TransferViaTFTP", transfer},
        {"TransferViaURL", transfer},
        {"DownloadViaByteStream",
         {{"FileName", STR, false, true, false},
          {"FragmentOffsetIN", U32, false, true, false},
          {"SourceImage", U8, true, false, true},
          {"FragmentOffsetOUT", U32, false, false, true},
          {"FragmentationFlag", U8, false, false, true},
          {"ImageLength", U32, false, false, true},
          {"DestinationURI", STR, false, false, true}}},
        {"EnableSSH", {}},
        {"DisableSSH", {}},
        {"GetSSHStatus", {}},
    };
    EXPECT_EQ(methods.size(), svc.methods.size());
    for (const auto &[name, params] : methods) {
        const cimxml::MethodDecl *m = svc.method(name);
        ASSERT_NE(nullptr, m) << name;
        EXPECT_EQ(name, m->name);
        EXPECT_EQ(CimType::Uint32, m->return_type) << name;
        ASSERT_EQ(params.size(), m->parameters.size()) << name;
        for (size_t i = 0; i < params.size(); ++i) {
            const cimxml::ParameterDecl &p = m->parameters[i];
            SCOPED_TRACE(name + "." + params[i].name);
            EXPECT_EQ(params[i].name, p.name);
            EXPECT_EQ(params[i].type, p.type);
            EXPECT_EQ(params[i].array, p.is_array);
            EXPECT_EQ(params[i].in, p.is_in());
            EXPECT_EQ(params[i].out, p.is_out());
            EXPECT_EQ(p.type == REF ? "CIM_ConcreteJob" : "", p.reference_class);
        }
    }
}

}  // namespace
