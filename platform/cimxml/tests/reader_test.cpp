/* The in-place reader of the common form against the full parser: on every
 * document both must come to the same nodes, or to the same error. The
 * documents are the cases below, where the two could part (line ends,
 * references, normalised attribute values, everything the in-place reader
 * leaves to the full parser), and every seed of the CIM-XML fuzz target and
 * every wbemcli capture. */
#include "internal.h"
#include "test_support.h"

#include <dirent.h>

#include <fstream>
#include <sstream>

using namespace cimxml;
using namespace cimxml::detail;

namespace {

/* The nodes as text, with every field the decoders read. The decoders take
 * names by their lengths and the text of an element without children as a
 * C string: each length must be that of the NUL-terminated text. */
void dump(const Node *n, std::string &out) {
  out += '<';
  out += n->name;
  EXPECT_EQ(std::strlen(n->name), n->name_len) << n->name;
  for (std::uint32_t i = 0; i < n->attr_count; ++i) {
    out += std::string(" ") + n->attrs[i].name + "=[" + n->attrs[i].value + "]";
    EXPECT_EQ(std::strlen(n->attrs[i].name), n->attrs[i].name_len) << n->attrs[i].name;
  }
  out += n->empty ? " empty" : "";
  if (n->child == nullptr) {
    out += " text=[" + std::string(n->text, n->text_len) + "]";
    EXPECT_EQ(std::strlen(n->text), n->text_len) << n->name;
  }
  out += '>';
  for (const Node *c = n->child; c; c = c->next) {
    if (c->parent != n) out += "(bad parent)";
    dump(c, out);
  }
  out += "</>";
}

/* "in place: " or "full: " and the nodes, or "error: " and its message. */
std::string read(const std::string &doc, Document::Reader reader) {
  try {
    Document d(doc.data(), doc.size(), Limits(), 0, reader);
    std::string out = d.read_in_place() ? "in place: " : "full: ";
    out += "depth " + std::to_string(d.depth()) + " ";
    dump(d.root(), out);
    return out;
  } catch (const Error &e) {
    return std::string("error: ") + e.what();
  }
}

/* Both readers agree on `doc`; whether it was read in place. */
bool agree(const std::string &doc, const std::string &what) {
  std::string in_place = read(doc, Document::Reader::Auto);
  std::string full = read(doc, Document::Reader::Full);
  const bool was_in_place = in_place.compare(0, 10, "in place: ") == 0;
  if (was_in_place) in_place.replace(0, 10, "full: ");
  EXPECT_EQ(in_place, full) << what;
  return was_in_place;
}

TEST(Reader, TheCommonFormReadsInPlaceAsTheFullParserReadsIt) {
  const std::string decl = "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n";
  const struct {
    const char *doc;
    bool in_place;
  } cases[] = {
      {"<A/>", true},
      {"<A x='1' y = \"2\"\t/>", true},
      {"<A><B>x</B><C/>text after<B>y</B></A>", true},
      {"<A>\r\nline\rtwo\r\n</A>", true},
      {"<A x=\"a\tb\nc\r\nd\re\"/>", true},
      {"<A x=\"&#9;&#10;&#13;&#x41;&lt;&gt;&amp;&quot;&apos;\">&#13;&#10;&#xD7FF;&#65533;&#x10FFFF;</A>", true},
      {"<A x='\"' y=\"'\">]] ] >x</A>", true},
      {"<A>\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80</A>", true},
      {"<A></A>", true},
      {"<A> </A>", true},
      {"<A.b-c_d><_x/></A.b-c_d >  \n", true},
      {"<?xml version='1.0'?><A/>", true},
      {"<?xml version=\"1.0\" standalone=\"yes\"?><A/>", true},
      {"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone='no' ?>\n<A/>\n", true},
      /* Left to the full parser, which accepts them. */
      {"<A><!-- c --></A>", false},
      {"<A>a<!-- c -->b</A>", false},
      {"<A><![CDATA[<x>]]></A>", false},
      {"<A><?pi x?></A>", false},
      {"<!DOCTYPE A><A/>", false},
      {"\xEF\xBB\xBF<A/>", false},
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><A>\xE9</A>", false},
      {"<a:A xmlns:a=\"u\"/>", false},
      {"<A xmlns=\"u\"/>", false},
      {"<A/><!-- after -->", false},
      {"<\xC3\xA9/>", false},
      /* Malformed: the full parser's error (or its repair of values). */
      {"", false},
      {"text", false},
      {"<A>", false},
      {"<A></B>", false},
      {"<A></AB>", false},
      {"<A x=\"1\" x=\"2\"/>", false},
      {"<A x=\"1\"y=\"2\"/>", false},
      {"<A x=1/>", false},
      {"<A x=\"<\"/>", false},
      {"<A>]]></A>", false},
      {"<A>&unknown;</A>", false},
      {"<A>&#0;</A>", false},
      {"<A>&#xD800;</A>", false},
      {"<A>&#x110000;</A>", false},
      {"<A>&#65</A>", false},
      {"<A>\x01</A>", false},
      {"<A>\xC0\x80</A>", false},
      {"<A>\xED\xA0\x80</A>", false},
      {"<A>\xEF\xBF\xBE</A>", false},
      {"<A>\xFF</A>", false},
      {"<A/><B/>", false},
      {"<A/>x", false},
      {" <?xml version=\"1.0\"?><A/>", false},
      {"<?xml version=\"1.1\"?><A/>", false},
      {"<VALUE>a<b</VALUE>", false},
      {"<A><VALUE>a & b</VALUE></A>", false},
  };
  for (const auto &c : cases) {
    EXPECT_EQ(agree(c.doc, c.doc), c.in_place) << c.doc;
    EXPECT_EQ(agree(decl + c.doc, c.doc), c.in_place && std::strncmp(c.doc, "<?xml", 5) != 0) << c.doc;
  }
  /* A NUL inside the text is no XML character. */
  EXPECT_FALSE(agree(std::string("<A>\0</A>", 8), "NUL"));
  /* Depth: within the limit in place, beyond it the limit's error. */
  for (int levels : {63, 64, 65, 300}) {
    std::string deep;
    for (int i = 1; i < levels; ++i) deep += "<A>";
    deep += "<B/>";
    for (int i = 1; i < levels; ++i) deep += "</A>";
    EXPECT_EQ(agree(deep, std::to_string(levels) + " levels"), levels <= 64) << levels;
  }
}

std::string file_text(const std::string &path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

/* Both readers agree on every document of a directory (`skip` bytes cut
 * from the front of each, names holding `suffix`); the number of documents.
 * With `in_place`, those whose name lacks "unescaped" (which may need the
 * full parser's repair) must have been read in place. */
int agree_on_directory(const std::string &dir, size_t skip, const char *suffix, bool in_place) {
  DIR *d = opendir(dir.c_str());
  EXPECT_NE(d, nullptr) << dir;
  if (d == nullptr) return 0;
  int count = 0;
  while (const dirent *e = readdir(d)) {
    const std::string name = e->d_name;
    if (name[0] == '.' || name.find(suffix) == std::string::npos) continue;
    const std::string text = file_text(dir + "/" + name);
    if (text.size() < skip) continue;
    ++count;
    const bool was_in_place = agree(text.substr(skip), name);
    if (in_place && name.find("unescaped") == std::string::npos) {
      EXPECT_TRUE(was_in_place) << name;
    }
  }
  closedir(d);
  return count;
}

TEST(Reader, SeedsAndCapturesReadAlike) {
  EXPECT_GT(agree_on_directory(CIMXML_FUZZ_CORPUS, 1, "", false), 500);
  EXPECT_GT(agree_on_directory(CIMXML_TEST_DATA, 0, ".xml", true), 20);
}

}  // namespace

/* A thread's documents reuse each other's memory: documents of growing and
 * shrinking size read one after another, and one read while another is
 * open, which keeps its nodes. */
TEST(Reader, DocumentsReadOneAfterAnotherAndOneInsideAnother) {
  std::string big = "<A>";
  for (int i = 0; i < 3000; ++i) big += "<B n=\"" + std::to_string(i) + "\">x&amp;y</B>";
  big += "</A>";
  std::string small = "<A><B n=\"1\">y</B></A>";
  for (const std::string *doc : {&small, &big, &small, &big, &big}) EXPECT_TRUE(agree(*doc, doc->substr(0, 30)));
  Document outer(big.data(), big.size(), Limits());
  std::string before, after;
  dump(outer.root(), before);
  EXPECT_TRUE(agree(small, "inner small"));
  EXPECT_TRUE(agree(big, "inner big"));
  dump(outer.root(), after);
  EXPECT_EQ(before, after);
}
