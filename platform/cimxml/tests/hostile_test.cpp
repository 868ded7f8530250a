/* Input meant to hurt: entity expansion, external entities, deep nesting,
 * oversized bodies, broken elements, and thousands of mutated documents.
 * Every one must end in a cimxml::Error, never a crash, a hang, another
 * exception type or a leaked native object. */
#include "test_support.h"

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>

using namespace cimxml;
using namespace cimxml_test;

namespace {

class Hostile : public LeakChecked {};

std::string envelope(const std::string &call, const std::string &prolog = "") {
  return "<?xml version=\"1.0\"?>" + prolog +
         "<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"9\" PROTOCOLVERSION=\"1.0\"><SIMPLEREQ>" + call +
         "</SIMPLEREQ></MESSAGE></CIM>";
}

std::string get_property(const std::string &name_value) {
  return envelope("<IMETHODCALL NAME=\"GetProperty\"><LOCALNAMESPACEPATH><NAMESPACE NAME=\"root\"/>"
                  "</LOCALNAMESPACEPATH><IPARAMVALUE NAME=\"PropertyName\"><VALUE>" +
                  name_value +
                  "</VALUE></IPARAMVALUE><IPARAMVALUE NAME=\"InstanceName\"><INSTANCENAME CLASSNAME=\"C\"/>"
                  "</IPARAMVALUE></IMETHODCALL>");
}

/* Runs `f`, expecting a cimxml::Error whose text mentions `mentions`. */
template <typename F>
void expect_error(F f, const std::string &mentions, const char *what) {
  SCOPED_TRACE(what);
  try {
    f();
    ADD_FAILURE() << "accepted";
  } catch (const Error &e) {
    EXPECT_NE(std::string(e.what()).find(mentions), std::string::npos) << e.what();
  } catch (const std::exception &e) {
    ADD_FAILURE() << "unexpected exception type: " << e.what();
  }
}

TEST_F(Hostile, EntityExpansionIsRefusedAtTheDeclaration) {
  std::string laughs = "<!DOCTYPE CIM [<!ENTITY l0 \"lol\">";
  for (int i = 1; i < 10; ++i)
    laughs += "<!ENTITY l" + std::to_string(i) + " \"" + std::string() + [&] {
      std::string r;
      for (int k = 0; k < 10; ++k) r += "&l" + std::to_string(i - 1) + ";";
      return r;
    }() + "\">";
  laughs += "]>";
  std::string body = envelope("<IMETHODCALL NAME=\"GetProperty\"><LOCALNAMESPACEPATH><NAMESPACE NAME=\"root\"/>"
                              "</LOCALNAMESPACEPATH><IPARAMVALUE NAME=\"PropertyName\"><VALUE>&l9;</VALUE>"
                              "</IPARAMVALUE></IMETHODCALL>",
                              laughs);
  auto start = std::chrono::steady_clock::now();
  expect_error([&] { parse_request(body); }, "entity declarations are not accepted", "billion laughs");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

  expect_error(
      [] {
        parse_request(envelope("<IMETHODCALL NAME=\"GetClass\"><LOCALNAMESPACEPATH><NAMESPACE NAME=\"&x;\"/>"
                               "</LOCALNAMESPACEPATH></IMETHODCALL>",
                               "<!DOCTYPE CIM [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>"));
      },
      "entity declarations", "external entity");
  expect_error([] { parse_request(envelope("", "<!DOCTYPE CIM [<!ENTITY % p SYSTEM \"http://127.0.0.1:9/x\"> %p;]>")); },
               "not accepted", "parameter entity");
  expect_error([] { parse_request(envelope("", "<!DOCTYPE CIM [<!ATTLIST CIM extra CDATA \"x\">]>")); },
               "attribute declarations", "default attributes");
  expect_error(
      [] {
        parse_request(envelope("<IMETHODCALL NAME=\"GetClass\"><LOCALNAMESPACEPATH><NAMESPACE NAME=\"&undefined;\"/>"
                               "</LOCALNAMESPACEPATH></IMETHODCALL>"));
      },
      "malformed XML", "undeclared entity");
  /* Inside a value, where clients put text unescaped, it is text. */
  EXPECT_EQ(parse_request(get_property("&undefined;")).property_name, "&undefined;");
  /* The same attacks through the other readers. */
  expect_error([&] { parse_response(body); }, "entity declarations", "response");
  expect_error([&] { parse_class("<!DOCTYPE CLASS [<!ENTITY e \"x\">]><CLASS NAME=\"&e;\"/>"); }, "entity declarations",
               "class");
}

TEST_F(Hostile, ADoctypeWithoutDeclarationsIsHarmless) {
  /* A document type naming an external DTD is read without loading it. */
  Request r = parse_request(envelope("<IMETHODCALL NAME=\"EnumerateClassNames\"><LOCALNAMESPACEPATH>"
                                     "<NAMESPACE NAME=\"root\"/></LOCALNAMESPACEPATH></IMETHODCALL>",
                                     "<!DOCTYPE CIM SYSTEM \"http://127.0.0.1:9/CIM_DTD_V22.dtd\">"));
  EXPECT_EQ(r.op, Operation::EnumerateClassNames);
  Request named = parse_request(get_property("a&#38;b&#x3C;"));
  EXPECT_EQ(named.property_name, "a&b<");
}

std::string nested_reference_request(int levels) {
  std::string key = "<KEYVALUE>leaf</KEYVALUE>";
  for (int i = 0; i < levels; ++i)
    key = "<VALUE.REFERENCE><INSTANCENAME CLASSNAME=\"C\"><KEYBINDING NAME=\"k\">" + key +
          "</KEYBINDING></INSTANCENAME></VALUE.REFERENCE>";
  return envelope("<IMETHODCALL NAME=\"GetInstance\"><LOCALNAMESPACEPATH><NAMESPACE NAME=\"root\"/>"
                  "</LOCALNAMESPACEPATH><IPARAMVALUE NAME=\"InstanceName\"><INSTANCENAME CLASSNAME=\"C\">"
                  "<KEYBINDING NAME=\"k\">" +
                  key + "</KEYBINDING></INSTANCENAME></IPARAMVALUE></IMETHODCALL>");
}

TEST_F(Hostile, NestingIsBounded) {
  /* 8 levels of envelope plus 3 per nested reference. */
  Request ok = parse_request(nested_reference_request(18));
  CMPIData k = key_data(ok.instance_name.get(), "k");
  int depth = 0;
  while (k.type == CMPI_ref) {
    ++depth;
    k = key_data(k.value.ref, "k");
  }
  EXPECT_EQ(depth, 18);
  EXPECT_EQ(text(k), "leaf");
  try {
    parse_request(nested_reference_request(19));
    ADD_FAILURE() << "accepted";
  } catch (const Error &e) {
    EXPECT_EQ(e.cimerror(), kNotValid);
    EXPECT_NE(std::string(e.what()).find("nesting exceeds the limit of 64"), std::string::npos) << e.what();
  }
  Limits tight;
  tight.max_depth = 10;
  expect_error([&] { parse_request(nested_reference_request(1), tight); }, "limit of 10", "tight limit");

  /* Far deeper than any limit: still a clean error. */
  std::string deep;
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  expect_error([&] { parse_request(deep); }, "malformed XML", "100000 levels");
  expect_error([&] { parse_class(deep); }, "", "100000 levels as class");
}

TEST_F(Hostile, EmbeddedInstancesCountTowardsTheNestingLimit) {
  std::string inner = "<INSTANCE CLASSNAME=\"Leaf\"><PROPERTY NAME=\"v\" TYPE=\"uint8\"><VALUE>1</VALUE></PROPERTY></INSTANCE>";
  auto wrap = [](const std::string &inst) {
    return "<INSTANCE CLASSNAME=\"Box\"><PROPERTY NAME=\"e\" TYPE=\"string\" EmbeddedObject=\"instance\"><VALUE>" +
           escape(inst) + "</VALUE></PROPERTY></INSTANCE>";
  };
  std::string doc = inner;
  for (int i = 0; i < 5; ++i) doc = wrap(doc);
  InstancePtr five = parse_instance(doc);
  CMPIData d = prop_data(five.get(), "e");
  int levels = 0;
  while (d.type == CMPI_instance) {
    ++levels;
    d = prop_data(d.value.inst, "e");
  }
  EXPECT_EQ(levels, 5);
  for (int i = 0; i < 40; ++i) doc = wrap(doc);
  expect_error([&] { parse_instance(doc); }, "nesting exceeds", "45 embedded levels");
}

TEST_F(Hostile, BodiesOverTheSizeLimitAreNotParsed) {
  Limits small;
  small.max_body = 1000;
  std::string big = get_property(std::string(2000, 'x'));
  try {
    parse_request(big, small);
    ADD_FAILURE() << "accepted";
  } catch (const Error &e) {
    EXPECT_EQ(e.cimerror(), kNotValid);
    EXPECT_NE(std::string(e.what()).find("exceeds the limit of 1000 bytes"), std::string::npos);
  }
  /* Within the default limit, a large request is fine. */
  Request r = parse_request(get_property(std::string(4u << 20, 'y')));
  EXPECT_EQ(r.property_name.size(), 4u << 20);
  /* The default limit applies too. */
  std::string huge(Limits().max_body + 1, ' ');
  expect_error([&] { parse_request(huge); }, "exceeds the limit", "default limit");
}

TEST_F(Hostile, BrokenTextAndElementsInResponsesAndClasses) {
  expect_error([] { parse_request(get_property("bad \xFF\xFE utf-8")); }, "malformed XML", "invalid UTF-8");
  expect_error([] { parse_request(std::string("<CIM\0 CIMVERSION=\"2.0\"/>", 25)); }, "malformed", "NUL byte");
  const char *responses[][2] = {
      {"<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP>"
       "<IMETHODRESPONSE NAME=\"GetClass\"><ERROR DESCRIPTION=\"x\"/></IMETHODRESPONSE></SIMPLERSP></MESSAGE></CIM>",
       "CODE"},
      {"<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP>"
       "<IMETHODRESPONSE NAME=\"GetClass\"><ERROR CODE=\"-4\"/></IMETHODRESPONSE></SIMPLERSP></MESSAGE></CIM>",
       "ERROR CODE"},
      {"<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP>"
       "<METHODRESPONSE NAME=\"M\"><RETURNVALUE PARAMTYPE=\"uint8\"><VALUE>999</VALUE></RETURNVALUE>"
       "</METHODRESPONSE></SIMPLERSP></MESSAGE></CIM>",
       "999"},
      {"<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP>"
       "<IMETHODRESPONSE NAME=\"GetClass\"><IRETURNVALUE><CLASS/></IRETURNVALUE></IMETHODRESPONSE></SIMPLERSP>"
       "</MESSAGE></CIM>",
       "NAME"},
      {"<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP>"
       "<IMETHODRESPONSE NAME=\"X\"><IRETURNVALUE><VALUE.NAMEDINSTANCE><INSTANCE CLASSNAME=\"C\"/>"
       "</VALUE.NAMEDINSTANCE></IRETURNVALUE></IMETHODRESPONSE></SIMPLERSP></MESSAGE></CIM>",
       "INSTANCENAME"},
      {"<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP>"
       "<IMETHODRESPONSE NAME=\"X\"><IRETURNVALUE><VALUE.NAMEDINSTANCE><INSTANCENAME CLASSNAME=\"C\"/>"
       "<INSTANCE CLASSNAME=\"C\"><PROPERTY NAME=\"q\" TYPE=\"uint8\"><VALUE>1</VALUE></PROPERTY>"
       "<PROPERTY NAME=\"Q\" TYPE=\"uint8\"/></INSTANCE>"
       "</VALUE.NAMEDINSTANCE></IRETURNVALUE></IMETHODRESPONSE></SIMPLERSP></MESSAGE></CIM>",
       "has property Q twice"},
      {"<CIM CIMVERSION=\"2.0\" DTDVERSION=\"2.0\"><MESSAGE ID=\"1\" PROTOCOLVERSION=\"1.0\"><SIMPLERSP>"
       "<IMETHODRESPONSE NAME=\"X\"><IRETURNVALUE><OBJECTPATH><INSTANCEPATH><INSTANCENAME CLASSNAME=\"C\"/>"
       "</INSTANCEPATH></OBJECTPATH></IRETURNVALUE></IMETHODRESPONSE></SIMPLERSP></MESSAGE></CIM>",
       "NAMESPACEPATH"},
  };
  for (const auto &r : responses) expect_error([&] { parse_response(r[0]); }, r[1], r[0]);
  const char *classes[][2] = {
      {"<CLASS NAME=\"A\"><PROPERTY NAME=\"p\"/></CLASS>", "TYPE"},
      {"<CLASS NAME=\"A\"><QUALIFIER NAME=\"Key\"><VALUE>TRUE</VALUE></QUALIFIER></CLASS>", "TYPE"},
      {"<CLASS NAME=\"A\"><QUALIFIER NAME=\"Key\" TYPE=\"boolean\"><VALUE>perhaps</VALUE></QUALIFIER></CLASS>", "perhaps"},
      {"<CLASS NAME=\"A\"><METHOD NAME=\"m\"><PARAMETER NAME=\"x\"/></METHOD></CLASS>", "TYPE"},
      {"<CLASS NAME=\"A\"><METHOD NAME=\"m\"><PARAMETER TYPE=\"uint8\"/></METHOD></CLASS>", "NAME"},
      {"<CLASS NAME=\"A\"><PROPERTY NAME=\"p\" TYPE=\"uint8\"/><PROPERTY NAME=\"P\" TYPE=\"uint8\"/></CLASS>", "twice"},
      {"<CLASS NAME=\"A\"><PROPERTY.ARRAY NAME=\"p\" TYPE=\"uint8\" ARRAYSIZE=\"many\"/></CLASS>", "many"},
      {"<CLASS NAME=\"A\"><PROPERTY.ARRAY NAME=\"p\" TYPE=\"uint8\" ARRAYSIZE=\"-1\"/></CLASS>",
       "invalid uint32 PROPERTY.ARRAY ARRAYSIZE: \"-1\""},
      {"<CLASS NAME=\"A\"><QUALIFIER NAME=\"Q\" TYPE=\"boolean\" OVERRIDABLE=\"sometimes\"/></CLASS>", "OVERRIDABLE"},
      {"<CLASS NAME=\"A\"><INSTANCE CLASSNAME=\"x\"/></CLASS>", "INSTANCE"},
      {"<NOTACLASS/>", "no CLASS"},
  };
  for (const auto &c : classes) expect_error([&] { parse_class(c[0]); }, c[1], c[0]);
  /* Faults in keys and property values name the key or property. */
  const std::string kb = "<INSTANCENAME CLASSNAME=\"C\"><KEYBINDING NAME=\"k\">";
  const std::string ke = "</KEYBINDING></INSTANCENAME>";
  const std::string pi = "<INSTANCE CLASSNAME=\"C\">";
  const std::string names[][2] = {
      {kb + "<KEYVALUE>a</KEYVALUE></KEYBINDING><KEYBINDING NAME=\"j\"><KEYVALUE>b</KEYVALUE></KEYBINDING>"
            "<KEYBINDING NAME=\"K\"><KEYVALUE>c</KEYVALUE>" + ke,
       "INSTANCENAME C binds key K twice"},
      {kb + "<KEYVALUE VALUETYPE=\"numeric\">12z</KEYVALUE>" + ke, "invalid uint64 key k: \"12z\""},
      {kb + "<KEYVALUE VALUETYPE=\"numeric\">1.5x</KEYVALUE>" + ke, "invalid real64 key k"},
      {kb + "<KEYVALUE VALUETYPE=\"boolean\">perhaps</KEYVALUE>" + ke, "invalid boolean key k"},
      {kb + "<KEYVALUE TYPE=\"uint8\">300</KEYVALUE>" + ke, "invalid uint8 key k"},
      {kb + "<KEYVALUE VALUETYPE=\"text\">x</KEYVALUE>" + ke, "key k: unknown VALUETYPE \"text\""},
      {kb + "<KEYVALUE>a<B/></KEYVALUE>" + ke, "KEYVALUE element must hold text only, found B"},
      {pi + "<PROPERTY.ARRAY NAME=\"a\" TYPE=\"uint8\"><VALUE.ARRAY><VALUE>1</VALUE><VALUE>x</VALUE></VALUE.ARRAY>"
            "</PROPERTY.ARRAY></INSTANCE>",
       "invalid uint8 property a: \"x\""},
      {pi + "<PROPERTY NAME=\"d\" TYPE=\"datetime\"><VALUE> 20241302030405.123456+060 </VALUE></PROPERTY></INSTANCE>",
       "invalid datetime property d: \" 20241302030405.123456+060 \""},
      {pi + "<PROPERTY NAME=\"r\" TYPE=\"real32\"><VALUE>" + std::string(70, '9') + "</VALUE></PROPERTY></INSTANCE>",
       "invalid real32 property r: \"" + std::string(64, '9') + "...\""},
      {kb + "<KEYVALUE VALUETYPE=\"numeric\">18446744073709551616</KEYVALUE>" + ke,
       "invalid uint64 key k: \"18446744073709551616\""},
      {pi + "<PROPERTY NAME=\"s\" TYPE=\"string\"><VALUE>a<B/></VALUE></PROPERTY></INSTANCE>",
       "VALUE element must hold text only, found B"},
      {pi + "<PROPERTY NAME=\"\" TYPE=\"string\"/></INSTANCE>", "PROPERTY element with empty NAME"},
  };
  for (const auto &n : names)
    expect_error([&] { n[0].compare(0, 9, "<INSTANCE") == 0 && n[0][9] == ' ' ? (void)parse_instance(n[0])
                                                                            : (void)parse_instance_name(n[0]); },
                 n[1], n[0].c_str());
}

/* ---------------------------------------------------------------- hammer */

struct Sample {
  int reader; /* 0 request, 1 response, 2 class, 3 instance */
  std::string doc;
};

std::vector<Sample> corpus() {
  std::vector<Sample> docs;
  for (const char *n : {"ei_props", "gi", "ci", "mi", "ai", "sp", "cm", "cm_class", "cm_unescaped"})
    docs.push_back({0, data_file(std::string("wbemcli_") + n + ".xml")});
  PathPtr op = path("//h/root/cimv2:Qelvo_ConcreteJob.InstanceID=\"Qelvo:1\",N=5");
  InstancePtr inst(native_new_CMPIInstance(op.get(), nullptr));
  Value tags = string_array({"a", "b"});
  CMPIValue tv = tags.data().value;
  inst->ft->setProperty(inst.get(), "Tags", &tv, CMPI_stringA);
  Value when = datetime("20240102030405.000000+000");
  CMPIValue wv = when.data().value;
  inst->ft->setProperty(inst.get(), "When", &wv, CMPI_dateTime);
  ResponseWriter w("1", "Associators", true);
  w.add_object_with_path(inst.get());
  w.add_named_instance(inst.get());
  docs.push_back({1, w.finish()});
  ResponseWriter m("2", "Go", false);
  m.set_return_value(u32(1).data());
  m.add_out_param("Job", ref_value(op).data());
  docs.push_back({1, m.finish()});
  std::string cls;
  MofFile mof = parse_mof(data_file("transfer_service.mof"));
  write_class(cls, mof.classes[1]);
  docs.push_back({2, cls});
  std::string ix;
  write_instance(ix, inst.get());
  docs.push_back({3, ix});
  return docs;
}

const char *const kInserts[] = {"<", ">", "&", "&amp;", "&#0;", "&#x110000;", "\"", "'", "\xFF", "\xC3",
                                "<VALUE>", "</VALUE>", "<VALUE.ARRAY>", "<KEYVALUE>", "</INSTANCENAME>",
                                "<![CDATA[", "]]>", "<!--", "-->", "<?pi?>", "<!DOCTYPE CIM [<!ENTITY a \"b\">]>",
                                "&a;", " TYPE=\"uint8\"", " PARAMTYPE=\"reference\"", " NAME=\"\"",
                                "<VALUE.REFERENCE>", "<INSTANCE CLASSNAME=\"X\">", "<PROPERTY NAME=\"p\">",
                                "EmbeddedObject=\"instance\"", "99999999999999999999"};

std::string mutate(std::string s, std::mt19937 &rng, int count) {
  auto pick = [&](std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(rng() % n); };
  for (int i = 0; i < count; ++i) {
    switch (rng() % 7) {
      case 0:
        if (!s.empty()) s[pick(s.size())] = static_cast<char>(rng() & 0xFF);
        break;
      case 1:
        s.insert(pick(s.size() + 1), kInserts[pick(sizeof kInserts / sizeof *kInserts)]);
        break;
      case 2: {
        std::size_t at = pick(s.size() + 1);
        s.erase(at, pick(64));
        break;
      }
      case 3: {
        std::size_t at = pick(s.size() + 1), len = pick(200);
        std::string chunk = s.substr(at, len);
        s.insert(pick(s.size() + 1), chunk);
        break;
      }
      case 4:
        s.resize(pick(s.size() + 1));
        break;
      case 5: {
        /* Swap the names of two elements by replacing a tag name. */
        std::size_t lt = s.find('<', pick(s.size() + 1));
        if (lt != std::string::npos && lt + 1 < s.size()) {
          static const char *const names[] = {"VALUE", "VALUE.ARRAY", "INSTANCENAME", "KEYBINDING", "PROPERTY",
                                              "PARAMVALUE", "CLASS", "METHOD", "NAMESPACE", "IRETURNVALUE"};
          std::size_t end = s.find_first_of(" />", lt + 1);
          if (end != std::string::npos && s[lt + 1] != '/')
            s.replace(lt + 1, end - lt - 1, names[pick(sizeof names / sizeof *names)]);
        }
        break;
      }
      default: {
        /* Change an attribute value. */
        std::size_t q = s.find("=\"", pick(s.size() + 1));
        if (q != std::string::npos) {
          std::size_t e = s.find('"', q + 2);
          if (e != std::string::npos) s.replace(q + 2, e - q - 2, kInserts[pick(sizeof kInserts / sizeof *kInserts)]);
        }
      }
    }
  }
  return s;
}

/* Reads `doc` with reader `reader`; true when accepted. */
bool read_with(int reader, const std::string &doc, const Limits &limits) {
  try {
    switch (reader) {
      case 0: {
        Request r = parse_request(doc, limits);
        /* What was accepted can be answered. */
        ResponseWriter w(r.message_id, r.method, r.intrinsic);
        if (r.instance) w.add_instance(r.instance.get());
        if (r.instance_name) w.add_instance_name(r.instance_name.get());
        for (const auto &p : r.params) w.add_out_param(p.name, p.value.data());
        parse_response(w.finish());
        break;
      }
      case 1: {
        Response r = parse_response(doc, limits);
        for (const auto &c : r.classes) {
          std::string x;
          write_class(x, c);
          EXPECT_EQ(parse_class(x), c);
        }
        break;
      }
      case 2: {
        ClassDecl c = parse_class(doc, limits);
        std::string x;
        write_class(x, c);
        EXPECT_EQ(parse_class(x), c);
        break;
      }
      default:
        parse_instance(doc, "ns", limits);
    }
    return true;
  } catch (const Error &) {
    return false;
  } catch (const std::exception &e) {
    ADD_FAILURE() << "reader " << reader << " threw " << e.what() << " for:\n" << doc;
    return false;
  }
}

TEST_F(Hostile, ThousandsOfMutatedDocumentsFailCleanly) {
  std::vector<Sample> docs = corpus();
  std::mt19937 rng(20240611u);
  int accepted = 0, refused = 0;
  Limits limits;
  limits.max_body = 1u << 20;
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 6000; ++i) {
    const Sample &s = docs[static_cast<std::size_t>(i) % docs.size()];
    /* Half of them get one change, the rest up to four. */
    std::string doc = mutate(s.doc, rng, i % 2 ? 1 : 1 + static_cast<int>(rng() % 4));
    /* Its own reader, which a mutation may or may not defeat ... */
    if (read_with(s.reader, doc, limits)) ++accepted;
    else ++refused;
    /* ... and another one, which must refuse cleanly too. */
    read_with(static_cast<int>(rng() % 4), doc, limits);
  }
  /* Most mutations break a document; several hundred survive and go through
   * the decoders' success paths and re-encoding. */
  EXPECT_GT(accepted, 300);
  EXPECT_GT(refused, 3000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
}

TEST_F(Hostile, MutatedMofFailsCleanly) {
  std::vector<std::string> texts = {data_file("job_chain.mof"), data_file("transfer_service.mof"),
                                    data_file("schemaimport_style.mof"), data_file("qualifiers.mof")};
  static const char *const kMofInserts[] = {"{", "}", "[", "]", "(", ")", ";", ",", ":", "\"", "'", "/*", "//",
                                            "REF", "class", "0x", "-", "1e999", "\\", "#pragma", "Qualifier",
                                            "instance of", "NULL", "$a", "99999999999999999999999"};
  std::mt19937 rng(7u);
  int accepted = 0, refused = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string t = texts[static_cast<std::size_t>(i) % texts.size()];
    int n = 1 + static_cast<int>(rng() % 3);
    for (int k = 0; k < n; ++k) {
      std::size_t at = t.empty() ? 0 : rng() % t.size();
      switch (rng() % 3) {
        case 0: t.insert(at, kMofInserts[rng() % (sizeof kMofInserts / sizeof *kMofInserts)]); break;
        case 1: t.erase(at, rng() % 16); break;
        default: if (!t.empty()) t[at] = static_cast<char>(rng() & 0xFF);
      }
    }
    try {
      MofFile m = parse_mof(t, "mutated.mof");
      /* What is read can be written and read again. */
      MofFile again = parse_mof(write_mof(m), "again.mof");
      EXPECT_EQ(again.classes, m.classes);
      ++accepted;
    } catch (const Error &) {
      ++refused;
    } catch (const std::exception &e) {
      ADD_FAILURE() << "threw " << e.what() << " for:\n" << t;
    }
  }
  EXPECT_GT(accepted, 100);
  EXPECT_GT(refused, 100);
}

}  // namespace
