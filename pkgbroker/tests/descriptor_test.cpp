// Reading package descriptors into package records, and matching payload files to adapters with
// a payload description. Both readers write the debug log under /tmp, so they run in a private
// mount namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "nsfixture.h"
#include "pkgbroker.h"

namespace {

bool Write(const std::string &path, const std::string &text)
{
    std::ofstream f(path, std::ios::binary);
    f << text;
    return static_cast<bool>(f);
}

std::string Crlf(std::string text)
{
    for (size_t i = 0; (i = text.find('\n', i)) != std::string::npos; i += 2)
        text.replace(i, 1, "\r\n");
    return text;
}

// One property of a descriptor, as packages write them: tag line, value line, end tag.
std::string Prop(const std::string &name, const std::string &type, const std::string &value,
                 const std::string &indent = "")
{
    return indent + "<PROPERTY NAME=\"" + name + "\" TYPE=\"" + type + "\">\n" + indent + "  <VALUE>" + value +
           "</VALUE>\n" + indent + "</PROPERTY>\n";
}

std::string List(const std::string &name, const std::vector<std::string> &values, const std::string &indent = "")
{
    std::string s = indent + "<PROPERTY.ARRAY NAME=\"" + name + "\" TYPE=\"string\">\n" + indent + "<VALUE.ARRAY>\n";
    for (const std::string &v : values)
        s += indent + "  <VALUE>" + v + "</VALUE>\n";
    return s + indent + "</VALUE.ARRAY>\n" + indent + "</PROPERTY.ARRAY>\n";
}

std::string Package(const std::string &type, const std::string &category, const std::string &id,
                     const std::string &extra = "", const std::string &indent = "")
{
    return "<INSTANCE CLASSNAME=\"Qelvo_SoftwareIdentity\">\n" + Prop("Name", "string", "Package " + id, indent) +
           Prop("type", "uint16", type, indent) + Prop("category", "string", category, indent) + extra +
           Prop("payload", "string", id + ".bin", indent) + Prop("identificationCode", "string", id, indent) +
           "</INSTANCE>\n";
}

// A fresh record 0 as a request creates it, its descriptor fetched to /tmp/d.xml.
void Fresh(const char *fetched = "file://tmp/d.xml")
{
    memset(pkgInstance, 0, sizeof pkgInstance);
    pkgnum = 1;
    Pkg_Instance_Struct &p = pkgInstance[0];
    snprintf(p.TFTPXMLPkgURIs, PKG_FIELD_SIZE, "tftp://10.0.0.1/pkgs/d.xml");
    snprintf(p.TFTPPayloadPkgURIs, PKG_FIELD_SIZE, "tftp://10.0.0.1/pkgs/");
    snprintf(p.supersedes, PKG_FIELD_SIZE, "No supersedes");
    snprintf(p.tmpDestinationPath, PKG_FIELD_SIZE, "%s", fetched);
    p.OrderFlag = ORDER_INITIAL;
}

std::string Prereqs()
{
    std::string s;
    for (int k = 0; k < pkgInstance[0].PrereqNum; ++k)
        s += std::string(k ? "," : "") + pkgInstance[0].prereq[k];
    return s;
}

TEST(PackageDescriptor, ReadIntoTheRecord)
{
    const std::string long_value(250, 'n');
    const struct {
        const char *what;
        std::string text;
        int order_flag;
        const char *category, *manufacturer, *prereqs, *supersedes, *payload;
    } cases[] = {
        {"controller firmware", Package("1", "Tavik", "qelvo_tavik_fw"), ORDER_TAVIK, "Tavik", "qelvo", "",
         "No supersedes", "tftp://10.0.0.1/pkgs/qelvo_tavik_fw.bin"},
        {"indented, CRLF, lists of 3 and 1", Crlf(Package("1", "Tavik2", "a_b_c",
                                                          List("preReq", {"p1", "p2", "p3"}, "    ") +
                                                              List("coReq", {"c1"}, "  "),
                                                          "   ")),
         ORDER_TAVIK, "Tavik2", "a", "p1,p2,p3,c1", "No supersedes", "tftp://10.0.0.1/pkgs/a_b_c.bin"},
        {"six values keep five", Package("1", "UEFI", "u", List("preReq", {"1", "2", "3", "4", "5", "6"})),
         ORDER_UEFI, "UEFI", "u", "1,2,3,4,5", "No supersedes", "tftp://10.0.0.1/pkgs/u.bin"},
        {"a list without VALUE.ARRAY is ignored",
         Package("1", "FPGA", "f", "<PROPERTY.ARRAY NAME=\"preReq\" TYPE=\"string\">\n<VALUE>x</VALUE>\n"),
         ORDER_FPGA, "FPGA", "f", "", "No supersedes", "tftp://10.0.0.1/pkgs/f.bin"},
        {"type 2 is not installable", Package("2", "UEFI", "t2"), ORDER_NOT_SUPPORTED, "UEFI", "t2", "",
         "No supersedes", "tftp://10.0.0.1/pkgs/t2.bin"},
        {"other category, supersedes", Package("1", "Network", "x_y", Prop("supersedes", "string", "x_old")),
         ORDER_DEFAULT, "Network", "x", "", "x_old", "tftp://10.0.0.1/pkgs/x_y.bin"},
        {"a value too long for its field", Package("1", "UEFI", "long", Prop("Name", "string", long_value)),
         ORDER_XML_UNREADABLE, "UEFI", "", "", "No supersedes", "tftp://10.0.0.1/pkgs/"},
        {"a prerequisite too long for its field", Package("1", "UEFI", "long", List("coReq", {"p1", long_value})),
         ORDER_XML_UNREADABLE, "UEFI", "", "p1", "No supersedes", "tftp://10.0.0.1/pkgs/"},
    };
    nsfixture::Run([&] {
        for (const auto &c : cases) {
            ASSERT_TRUE(Write("/tmp/d.xml", c.text));
            Fresh();
            getPkgAssociation(0);
            const Pkg_Instance_Struct &p = pkgInstance[0];
            EXPECT_EQ(p.OrderFlag, c.order_flag) << c.what;
            EXPECT_STREQ(p.category, c.category) << c.what;
            EXPECT_STREQ(p.manufacturer, c.manufacturer) << c.what;
            EXPECT_EQ(Prereqs(), c.prereqs) << c.what;
            EXPECT_STREQ(p.supersedes, c.supersedes) << c.what;
            EXPECT_STREQ(p.TFTPPayloadPkgURIs, c.payload) << c.what;
            const bool refused = c.order_flag == ORDER_XML_UNREADABLE;
            EXPECT_EQ(p.installCode, refused ? SELK_TIMEOUT_OR_XML : SELK_INIT) << c.what;
            if (refused) {
                EXPECT_STREQ(p.installResult, "d: 12: Pakcage XML can't be opened.") << c.what;
            }
        }

        // Not fetched as a file, missing, or not a file at all (a directory, a device that never
        // ends): the package is marked and nothing else is read.
        for (const char *where : {"file://tmp/missing.xml", "tftp://10.0.0.1/pkgs/d.xml", "", "file://tmp",
                                  "file://dev/zero"}) {
            Fresh(where);
            getPkgAssociation(0);
            EXPECT_EQ(pkgInstance[0].OrderFlag, ORDER_XML_UNREADABLE) << where;
            EXPECT_EQ(pkgInstance[0].installCode, SELK_TIMEOUT_OR_XML) << where;
        }

        // The log tells what was read.
        std::ifstream log(SELK_DEBUG_LOG);
        const std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        EXPECT_NE(text.find("Package OrderFlag:\n350\n"), std::string::npos);
        EXPECT_NE(text.find("preReq package:\np1\np2\np3\nc1\n"), std::string::npos);
        EXPECT_NE(text.find("Complete getPkgAssociation.\n"), std::string::npos);
    });
}

std::string Payloads()
{
    std::string s;
    for (int k = 0; k < pkgInstance[0].payloadnum; ++k)
        s += std::string(k ? "," : "") + pkgInstance[0].PyldDeviceID[k][0] + "@" + pkgInstance[0].PyldDeviceID[k][1];
    return s;
}

std::string Payload(const std::string &order, const std::string &file, const std::string &applies)
{
    return "  <payload" + (order.empty() ? "" : " order=\"" + order + "\"") + ">" + file + "</payload>\r\n" +
           "    <applicability type=\"driver\">" + applies + "</applicability>\r\n  </payload>\r\n";
}

TEST(PayloadDescription, MatchedToAdapters)
{
    const std::string head = "<updateConfiguration>\r\n", tail = "</updateConfiguration>\r\n";
    const struct {
        const char *what;
        std::string text;
        int result;
        const char *payloads;
    } cases[] = {
        {"ordered by order", head + Payload("2", "b.bin", "LPe12000") + Payload("1", "a.bin", "LPe12000") +
                                 Payload("", "q.bin", "QLE2562") + tail,
         1, "a.bin@dev1,b.bin@dev1,q.bin@dev2"},
        {"first without order keeps file order", head + Payload("", "b.bin", "LPe12000") +
                                                     Payload("1", "a.bin", "LPe12000") + tail,
         1, "b.bin@dev1,a.bin@dev1"},
        {"exact applicability only", head + Payload("", "c.bin", "LPe1200") + Payload("", "d.bin", "LPe120000") + tail,
         1, ""},
        {"nothing after the end", head + tail + Payload("", "late.bin", "QLE2562"), 1, ""},
        {"a payload without a file name", head + Payload("", "", "QLE2562") + tail, 0, ""},
        {"a name too long for its field", head + Payload("", std::string(300, 'x'), "QLE2562") + tail, 0, ""},
    };
    nsfixture::Run([&] {
        ASSERT_EQ(0, system("mkdir -p /var/tmp/Qelvo/Morv/Package/image"));
        for (const auto &c : cases) {
            ASSERT_TRUE(Write(SELK_PAYLOAD_CFG, c.text));
            Fresh();
            ASSERT_TRUE(add_dfn_pair(0, "LPe12000", "dev1"));
            ASSERT_TRUE(add_dfn_pair(0, "QLE2562", "dev2"));
            EXPECT_EQ(parsePayloadDeviceIDArray(0), c.result) << c.what;
            EXPECT_EQ(Payloads(), c.payloads) << c.what;
        }
        unlink(SELK_PAYLOAD_CFG);
        Fresh();
        add_dfn_pair(0, "LPe12000", "dev1");
        EXPECT_EQ(parsePayloadDeviceIDArray(0), 0) << "no payload description";

        // The record's limits: 50 adapters, fields of 199 characters.
        Fresh();
        for (int i = 0; i < PKG_MAX_DFN; ++i)
            ASSERT_TRUE(add_dfn_pair(0, "a", "d"));
        EXPECT_FALSE(add_dfn_pair(0, "a", "d"));
        EXPECT_FALSE(add_dfn_pair(1, std::string(200, 'a').c_str(), "d"));
        EXPECT_EQ(pkgInstance[1].dfnnumber, 0);
    });
}

}  // namespace
