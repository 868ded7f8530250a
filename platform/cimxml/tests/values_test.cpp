/* Values both ways: text forms, the XML of every CMPI type, escaping,
 * references, date-times and conversions. */
#include "test_support.h"

#include <cmath>
#include <cstring>
#include <limits>

using namespace cimxml;
using namespace cimxml_test;

namespace {

class Values : public LeakChecked {};

/* Wraps a value in PROPERTY and reads it back. */
Value through_property(const CMPIData &d) {
  std::string xml;
  write_property(xml, "P", d);
  std::string name;
  Value back = parse_property(xml, &name);
  EXPECT_EQ(name, "P");
  return back;
}

CMPIData scalar(CMPIType t, CMPIValue v) {
  CMPIData d;
  std::memset(&d, 0, sizeof d);
  d.type = t;
  d.value = v;
  return d;
}

TEST_F(Values, IntegersHaveCanonicalTextAndRangeChecks) {
  struct Case {
    CimType t;
    const char *in;
    const char *out; /* nullptr: rejected */
  } cases[] = {
      {CimType::Uint8, "255", "255"},         {CimType::Uint8, "256", nullptr},
      {CimType::Uint8, "-1", nullptr},        {CimType::Uint8, " +7 ", "7"},
      {CimType::Sint8, "-128", "-128"},       {CimType::Sint8, "128", nullptr},
      {CimType::Uint16, "0x1F", "31"},        {CimType::Uint16, "65536", nullptr},
      {CimType::Sint16, "-32769", nullptr},   {CimType::Uint32, "4294967295", "4294967295"},
      {CimType::Uint32, "4294967296", nullptr}, {CimType::Sint32, "-2147483648", "-2147483648"},
      {CimType::Uint64, "18446744073709551615", "18446744073709551615"},
      {CimType::Uint64, "18446744073709551616", nullptr},
      {CimType::Sint64, "-9223372036854775808", "-9223372036854775808"},
      {CimType::Sint64, "9223372036854775808", nullptr},
      {CimType::Sint32, "12abc", nullptr},    {CimType::Sint32, "", nullptr},
      {CimType::Sint32, "1.5", nullptr},      {CimType::Uint32, "007", "7"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(type_name(c.t)) + " \"" + c.in + "\"");
    if (c.out == nullptr) {
      try {
        value_from_text(c.in, c.t);
        ADD_FAILURE() << "accepted";
      } catch (const Error &e) {
        EXPECT_EQ(e.code(), CMPI_RC_ERR_INVALID_PARAMETER);
      }
    } else {
      Value v = value_from_text(c.in, c.t);
      EXPECT_EQ(v.type(), to_cmpi(c.t));
      EXPECT_EQ(scalar_to_text(v.data()), c.out);
    }
  }
}

TEST_F(Values, RealsUseTheShortestExactFormWithADecimalPoint) {
  struct Case {
    double v;
    const char *text;
  } cases[] = {{1.0, "1.0"},        {0.1, "0.1"},      {-2.5, "-2.5"},     {100.0, "100.0"},
               {1e20, "1.0E+20"},   {1.5e-7, "1.5E-7"}, {0.0001, "0.0001"}, {123456.789, "123456.789"},
               {0.0, "0.0"}};
  for (const auto &c : cases) {
    CMPIValue v;
    v.real64 = c.v;
    EXPECT_EQ(scalar_to_text(scalar(CMPI_real64, v)), c.text);
    Value back = value_from_text(c.text, CimType::Real64);
    EXPECT_EQ(back.data().value.real64, c.v) << c.text;
  }
  /* Values that need all 17 digits survive. */
  for (double x : {0.1 + 0.2, 1.0 / 3.0, std::numeric_limits<double>::max(), std::numeric_limits<double>::denorm_min()}) {
    CMPIValue v;
    v.real64 = x;
    std::string t = scalar_to_text(scalar(CMPI_real64, v));
    EXPECT_EQ(value_from_text(t, CimType::Real64).data().value.real64, x) << t;
  }
  CMPIValue f;
  f.real32 = 0.1f;
  EXPECT_EQ(scalar_to_text(scalar(CMPI_real32, f)), "0.1");
  f.real32 = 16777217.0f;
  std::string t = scalar_to_text(scalar(CMPI_real32, f));
  EXPECT_EQ(value_from_text(t, CimType::Real32).data().value.real32, f.real32) << t;
  CMPIValue special;
  special.real64 = std::numeric_limits<double>::infinity();
  EXPECT_EQ(scalar_to_text(scalar(CMPI_real64, special)), "INF");
  special.real64 = -special.real64;
  EXPECT_EQ(scalar_to_text(scalar(CMPI_real64, special)), "-INF");
  EXPECT_TRUE(std::isnan(value_from_text("NaN", CimType::Real64).data().value.real64));
  EXPECT_THROW(value_from_text("1e40", CimType::Real32), Error);
  EXPECT_THROW(value_from_text("0x10", CimType::Real64), Error);
  EXPECT_THROW(value_from_text("1.0.0", CimType::Real64), Error);
}

TEST_F(Values, BooleansAndChar16) {
  EXPECT_EQ(value_from_text("true", CimType::Boolean).data().value.boolean, 1);
  EXPECT_EQ(value_from_text(" FALSE\n", CimType::Boolean).data().value.boolean, 0);
  EXPECT_THROW(value_from_text("yes", CimType::Boolean), Error);
  EXPECT_THROW(value_from_text("1", CimType::Boolean), Error);

  Value c = value_from_text("\xE2\x82\xAC", CimType::Char16); /* euro sign */
  EXPECT_EQ(c.data().value.char16, 0x20AC);
  EXPECT_EQ(scalar_to_text(c.data()), "\xE2\x82\xAC");
  EXPECT_THROW(value_from_text("ab", CimType::Char16), Error);
  EXPECT_THROW(value_from_text("", CimType::Char16), Error);
  EXPECT_THROW(value_from_text("\xF0\x9F\x98\x80", CimType::Char16), Error); /* beyond U+FFFF */
  EXPECT_THROW(value_from_text("\xC3", CimType::Char16), Error);             /* truncated UTF-8 */
}

TEST_F(Values, DateTimesKeepTimestampsAndIntervals) {
  /* Timestamps keep their instant; native date-times write it in UTC. */
  struct Stamp {
    const char *in, *utc;
  } stamps[] = {{"20240102030405.123456+060", "20240102020405.123456+000"},
                {"19700101000000.000000+000", "19700101000000.000000+000"},
                {"20991231235959.999999-300", "21000101045959.999999+000"}};
  for (const auto &s : stamps) {
    Value v = value_from_text(s.in, CimType::DateTime);
    ASSERT_EQ(v.type(), CMPI_dateTime);
    CMPIDateTime *dt = v.data().value.dateTime;
    EXPECT_FALSE(dt->ft->isInterval(dt, nullptr));
    Value back = through_property(v.data());
    CMPIDateTime *bt = back.data().value.dateTime;
    EXPECT_EQ(bt->ft->getBinaryFormat(bt, nullptr), dt->ft->getBinaryFormat(dt, nullptr)) << s.in;
    EXPECT_EQ(scalar_to_text(back.data()), s.utc);
  }
  Value one = value_from_text("19700101000001.000002+000", CimType::DateTime);
  EXPECT_EQ(one.data().value.dateTime->ft->getBinaryFormat(one.data().value.dateTime, nullptr), 1000002u);
  Value iv = value_from_text("00000001020304.000005:000", CimType::DateTime);
  EXPECT_TRUE(iv.data().value.dateTime->ft->isInterval(iv.data().value.dateTime, nullptr));
  EXPECT_EQ(iv.data().value.dateTime->ft->getBinaryFormat(iv.data().value.dateTime, nullptr),
            ((24ULL * 3600 + 2 * 3600 + 3 * 60 + 4) * 1000000ULL) + 5);
  EXPECT_EQ(scalar_to_text(through_property(iv.data()).data()), "00000001020304.000005:000");
  EXPECT_THROW(value_from_text("2024-01-02", CimType::DateTime), Error);
  EXPECT_THROW(value_from_text("20241302030405.123456+060", CimType::DateTime), Error);
}

TEST_F(Values, EveryTypeSurvivesPropertyXml) {
  std::vector<Value> values;
  values.push_back(boolean(true));
  values.push_back(value_from_text("x", CimType::Char16));
  values.push_back(value_from_text("-1.25", CimType::Real32));
  values.push_back(value_from_text("6.02214076E+23", CimType::Real64));
  values.push_back(value_from_text("200", CimType::Uint8));
  values.push_back(value_from_text("-100", CimType::Sint8));
  values.push_back(value_from_text("65535", CimType::Uint16));
  values.push_back(value_from_text("-32768", CimType::Sint16));
  values.push_back(value_from_text("4000000000", CimType::Uint32));
  values.push_back(value_from_text("-2000000000", CimType::Sint32));
  values.push_back(value_from_text("18000000000000000000", CimType::Uint64));
  values.push_back(value_from_text("-9000000000000000000", CimType::Sint64));
  values.push_back(str("plain"));
  values.push_back(datetime("20240102030405.123456+060"));
  values.push_back(ref_value(path("//h/root/cimv2:A.k=\"v\"")));
  for (const auto &v : values) {
    SCOPED_TRACE(text(v.data()));
    Value back = through_property(v.data());
    EXPECT_TRUE(same_data(v.data(), back.data()));
    /* Type names are read without regard to case. */
    if (v.data().type == CMPI_ref) continue; /* PROPERTY.REFERENCE has no TYPE */
    std::string xml;
    write_property(xml, "p", v.data());
    const std::size_t at = xml.find(" TYPE=\"");
    ASSERT_NE(at, std::string::npos) << xml;
    for (std::size_t i = at + 7; xml[i] != '"'; ++i) xml[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(xml[i])));
    EXPECT_TRUE(same_data(v.data(), parse_property(xml).data())) << xml;
  }
}

TEST_F(Values, ArraysOfEveryKindWithNullElements) {
  std::vector<Value> arrays;
  arrays.push_back(array_from_texts({"TRUE", "FALSE"}, CimType::Boolean));
  arrays.push_back(array_from_texts({"1", "2", "65535"}, CimType::Uint16));
  arrays.push_back(array_from_texts({"-1", "9223372036854775807"}, CimType::Sint64));
  arrays.push_back(array_from_texts({"1.5", "-0.001"}, CimType::Real64));
  arrays.push_back(array_from_texts({"a", "<b>", ""}, CimType::String));
  arrays.push_back(array_from_texts({"20240102030405.000000+000", "00000000000001.000000:000"}, CimType::DateTime));
  arrays.push_back(array_from_texts({}, CimType::String));
  arrays.push_back(array_from_texts({"//h/ns:A.k=\"1\"", "ns:B.k=2"}, CimType::Reference));
  for (const auto &a : arrays) {
    SCOPED_TRACE(text(a.data()));
    Value back = through_property(a.data());
    EXPECT_TRUE(same_data(a.data(), back.data()));
  }
  /* A null element becomes VALUE.NULL and comes back null. */
  ArrayPtr arr(native_new_CMPIArray(3, CMPI_uint32, nullptr));
  CMPIValue v;
  v.uint32 = 5;
  arr->ft->setElementAt(arr.get(), 0, &v, CMPI_uint32);
  v.uint32 = 7;
  arr->ft->setElementAt(arr.get(), 2, &v, CMPI_uint32);
  CMPIValue av;
  av.array = arr.get();
  std::string xml;
  write_value(xml, scalar(CMPI_uint32A, av));
  EXPECT_EQ(xml, "<VALUE.ARRAY><VALUE>5</VALUE><VALUE></VALUE><VALUE>7</VALUE></VALUE.ARRAY>");
  Value back = through_property(scalar(CMPI_uint32A, av));
  CMPIArray *b = back.data().value.array;
  ASSERT_EQ(b->ft->getSize(b, nullptr), 3u);
  EXPECT_TRUE(b->ft->getElementAt(b, 1, nullptr).state & CMPI_nullValue);
  EXPECT_EQ(b->ft->getElementAt(b, 2, nullptr).value.uint32, 7u);
  /* VALUE.NULL from other writers is read too; in string arrays an empty
   * VALUE is the empty string. */
  Value other = parse_property(
      "<PROPERTY.ARRAY NAME=\"S\" TYPE=\"string\"><VALUE.ARRAY><VALUE></VALUE><VALUE.NULL/><VALUE>x</VALUE>"
      "</VALUE.ARRAY></PROPERTY.ARRAY>");
  CMPIArray *o = other.data().value.array;
  ASSERT_EQ(o->ft->getSize(o, nullptr), 3u);
  EXPECT_EQ(text(o->ft->getElementAt(o, 0, nullptr)), "");
  EXPECT_FALSE(o->ft->getElementAt(o, 0, nullptr).state & CMPI_nullValue);
  EXPECT_TRUE(o->ft->getElementAt(o, 1, nullptr).state & CMPI_nullValue);
}

TEST_F(Values, NullPropertiesKeepTheirType) {
  std::string xml;
  write_property(xml, "Gone", Value::null_of(CMPI_uint16).data());
  EXPECT_EQ(xml, "<PROPERTY NAME=\"Gone\" TYPE=\"uint16\"></PROPERTY>");
  Value back = parse_property(xml);
  EXPECT_TRUE(back.is_null());
  EXPECT_EQ(back.type(), CMPI_uint16);
  xml.clear();
  write_property(xml, "List", Value::null_of(CMPI_stringA).data());
  EXPECT_EQ(xml, "<PROPERTY.ARRAY NAME=\"List\" TYPE=\"string\"></PROPERTY.ARRAY>");
  EXPECT_EQ(parse_property(xml).type(), CMPI_stringA);
}

TEST_F(Values, EscapingCoversMarkupQuotesAndControlCharacters) {
  EXPECT_EQ(escape("a&b<c>d\"e'f"), "a&amp;b&lt;c&gt;d&quot;e&apos;f");
  EXPECT_EQ(escape("tab\tnl\ncr\r"), "tab&#9;nl&#10;cr&#13;");
  /* Characters XML 1.0 cannot carry become U+FFFD; so do broken UTF-8 bytes. */
  EXPECT_EQ(escape(std::string("a\x01z", 3)), "a\xEF\xBF\xBDz");
  EXPECT_EQ(escape("\xC3("), "\xEF\xBF\xBD(");
  EXPECT_EQ(escape("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"); /* a surrogate */
  EXPECT_EQ(escape("gr\xC3\xBC\xC3\x9F"), "gr\xC3\xBC\xC3\x9F");

  /* What goes in comes back, through both element text and attributes. */
  std::string nasty = "<tag attr=\"x\"> & 'q' ]]> \t\n\r end";
  Value back = through_property(str(nasty).data());
  EXPECT_EQ(text(back.data()), nasty);
  PathPtr op = path("root/cimv2:Test_Class.Name=\"x\"");
  Value key = str(nasty);
  CMPIValue kv = key.data().value;
  op->ft->addKey(op.get(), "Other", &kv, CMPI_string);
  std::string xml;
  write_instance_name(xml, op.get());
  PathPtr again = parse_instance_name(xml, "root/cimv2");
  EXPECT_TRUE(same_path(op.get(), again.get()));
}

TEST_F(Values, ScalarValuesAreWrittenInPlaceAndEscapedWhereNeeded) {
  CMPIValue ch;
  ch.char16 = '<';
  CMPIValue ch2;
  ch2.char16 = 0xE9;
  CMPIValue chars;
  chars.chars = const_cast<char *>("x>y");
  struct Case {
    Value v;
    const char *xml;
  } cases[] = {
      {boolean(false), "FALSE"},
      {Value(scalar(CMPI_char16, ch)), "&lt;"},
      {Value(scalar(CMPI_char16, ch2)), "\xC3\xA9"},
      {value_from_text("-0.5", CimType::Real32), "-0.5"},
      {value_from_text("-INF", CimType::Real64), "-INF"},
      {value_from_text("255", CimType::Uint8), "255"},
      {value_from_text("-128", CimType::Sint8), "-128"},
      {value_from_text("65535", CimType::Uint16), "65535"},
      {value_from_text("-32768", CimType::Sint16), "-32768"},
      {value_from_text("4294967295", CimType::Uint32), "4294967295"},
      {value_from_text("-2147483648", CimType::Sint32), "-2147483648"},
      {value_from_text("18446744073709551615", CimType::Uint64), "18446744073709551615"},
      {value_from_text("-9223372036854775808", CimType::Sint64), "-9223372036854775808"},
      {value_from_text("0", CimType::Sint64), "0"},
      {datetime("00000001020304.000005:000"), "00000001020304.000005:000"},
      {str(""), ""},
      {str("plain text"), "plain text"},
      {str("<at start"), "&lt;at start"},
      {str("at end&"), "at end&amp;"},
      {str("mid\"dle"), "mid&quot;dle"},
      {str("'"), "&apos;"},
      {str("ab\xC3"), "ab\xEF\xBF\xBD"}, /* broken UTF-8 at the end */
      {Value(scalar(CMPI_chars, chars)), "x&gt;y"},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.xml);
    std::string xml = "<P>"; /* text already in the output stays as it is */
    write_value(xml, c.v.data());
    EXPECT_EQ(xml, std::string("<P><VALUE>") + c.xml + "</VALUE>");
    xml = "<";
    write_value(xml, c.v.data());
    EXPECT_EQ(xml, std::string("<<VALUE>") + c.xml + "</VALUE>");
  }
  cases[22].v.release(); /* the CMPI_chars text is not the value's own */
  /* Key values take the same path. */
  PathPtr op = path("ns:C.S=\"a<b\",N=-5");
  std::string xml;
  write_instance_name(xml, op.get());
  EXPECT_NE(xml.find("<KEYVALUE VALUETYPE=\"string\">a&lt;b</KEYVALUE>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<KEYVALUE VALUETYPE=\"numeric\" TYPE=\"sint64\">-5</KEYVALUE>"), std::string::npos) << xml;
}

TEST_F(Values, ReferencesKeepHostAndNamespace) {
  struct Case {
    const char *path;
    const char *element;
  } cases[] = {
      {"//cimhost/root/cimv2:CIM_ManagedElement.InstanceID=\"x1\"", "<INSTANCEPATH>"},
      {"qelvo/cimv2:CIM_ManagedElement.InstanceID=\"x1\"", "<LOCALINSTANCEPATH>"},
      {"CIM_ManagedElement.InstanceID=\"x1\"", "<INSTANCENAME"},
      {"//cimhost/root/cimv2:CIM_ManagedElement", "<CLASSPATH>"},
      {"root/cimv2:CIM_ManagedElement", "<LOCALCLASSPATH>"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    PathPtr p = path(c.path);
    Value v = ref_value(p);
    std::string xml;
    write_value(xml, v.data());
    EXPECT_EQ(xml.find("<VALUE.REFERENCE>"), 0u) << xml;
    EXPECT_NE(xml.find(c.element), std::string::npos) << xml;
    Value back = through_property(v.data());
    EXPECT_TRUE(same_data(v.data(), back.data()));
  }
  /* A reference key nested in a reference key. */
  PathPtr inner = path("//h2/interop:CIM_RegisteredProfile.InstanceID=\"p\"");
  PathPtr outer = path("//h1/root/cimv2:CIM_ElementConformsToProfile");
  Value iv = ref_value(inner);
  CMPIValue r = iv.data().value;
  outer->ft->addKey(outer.get(), "ConformantStandard", &r, CMPI_ref);
  Value ov = ref_value(outer);
  Value back = through_property(ov.data());
  EXPECT_TRUE(same_data(ov.data(), back.data()));
  CMPIData k = key_data(back.data().value.ref, "ConformantStandard");
  ASSERT_EQ(k.type, CMPI_ref);
  EXPECT_EQ(host_of(k.value.ref), "h2");
  EXPECT_EQ(namespace_of(k.value.ref), "interop");
}

TEST_F(Values, KeyBindingsCarryValueTypeAndCimType) {
  PathPtr op = path("ns:C.S=\"text\",N=-5,B=FALSE");
  Value u = value_from_text("7", CimType::Uint16);
  CMPIValue uv = u.data().value;
  op->ft->addKey(op.get(), "U", &uv, CMPI_uint16);
  Value d = datetime("20240102030405.000000+000");
  CMPIValue dv = d.data().value;
  op->ft->addKey(op.get(), "D", &dv, CMPI_dateTime);
  std::string xml;
  write_instance_name(xml, op.get());
  EXPECT_NE(xml.find("<KEYBINDING NAME=\"S\"><KEYVALUE VALUETYPE=\"string\">text</KEYVALUE>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<KEYVALUE VALUETYPE=\"numeric\" TYPE=\"sint64\">-5</KEYVALUE>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<KEYVALUE VALUETYPE=\"boolean\" TYPE=\"boolean\">FALSE</KEYVALUE>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<KEYVALUE VALUETYPE=\"numeric\" TYPE=\"uint16\">7</KEYVALUE>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<KEYVALUE VALUETYPE=\"string\" TYPE=\"datetime\">"), std::string::npos) << xml;
  PathPtr back = parse_instance_name(xml, "ns");
  EXPECT_TRUE(same_path(op.get(), back.get()));

  /* Without TYPE, numeric keys arrive as sint64 (uint64 when they need it)
   * or real64, as a client sends them. */
  PathPtr plain = parse_instance_name(
      "<INSTANCENAME CLASSNAME=\"C\"><KEYBINDING NAME=\"a\"><KEYVALUE VALUETYPE=\"numeric\">12</KEYVALUE></KEYBINDING>"
      "<KEYBINDING NAME=\"b\"><KEYVALUE VALUETYPE=\"numeric\">18446744073709551615</KEYVALUE></KEYBINDING>"
      "<KEYBINDING NAME=\"c\"><KEYVALUE VALUETYPE=\"numeric\">2.5</KEYVALUE></KEYBINDING>"
      "<KEYBINDING NAME=\"d\"><KEYVALUE>dflt</KEYVALUE></KEYBINDING></INSTANCENAME>");
  EXPECT_EQ(key_data(plain.get(), "a").type, CMPI_sint64);
  EXPECT_EQ(key_data(plain.get(), "b").type, CMPI_uint64);
  EXPECT_EQ(key_data(plain.get(), "c").type, CMPI_real64);
  EXPECT_EQ(key_data(plain.get(), "d").type, CMPI_string);
}

TEST_F(Values, EmbeddedInstancesTravelAsEscapedText) {
  PathPtr ip = path("root/cimv2:CIM_Error");
  InstancePtr err(native_new_CMPIInstance(ip.get(), nullptr));
  Value msg = str("disk <sda> & more");
  CMPIValue mv = msg.data().value;
  err->ft->setProperty(err.get(), "Message", &mv, CMPI_string);
  CMPIValue ev;
  ev.inst = err.get();
  CMPIData d = scalar(CMPI_instance, ev);
  std::string xml;
  write_property(xml, "Error", d);
  EXPECT_NE(xml.find("EmbeddedObject=\"instance\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("&lt;INSTANCE CLASSNAME=&quot;CIM_Error&quot;&gt;"), std::string::npos) << xml;
  Value back = parse_property(xml);
  ASSERT_EQ(back.type(), CMPI_instance);
  EXPECT_EQ(prop(back.data().value.inst, "Message"), "disk <sda> & more");

  /* Arrays of them, as CIM_Error arrays travel. */
  ArrayPtr arr(native_new_CMPIArray(2, CMPI_instance, nullptr));
  arr->ft->setElementAt(arr.get(), 0, &ev, CMPI_instance);
  arr->ft->setElementAt(arr.get(), 1, &ev, CMPI_instance);
  CMPIValue av;
  av.array = arr.get();
  Value list_back = through_property(scalar(CMPI_instanceA, av));
  ASSERT_EQ(list_back.type(), CMPI_instanceA);
  EXPECT_TRUE(same_data(list_back.data(), scalar(CMPI_instanceA, av)));
  /* Text that is not an INSTANCE is refused. */
  EXPECT_THROW(parse_property("<PROPERTY NAME=\"E\" TYPE=\"string\" EmbeddedObject=\"instance\"><VALUE>&lt;CLASS "
                              "NAME=&quot;x&quot;/&gt;</VALUE></PROPERTY>"),
               Error);
}

TEST_F(Values, PathTextFormReadsBack) {
  const char *texts[] = {
      "//cimhost/root/cimv2:Test_Service.Name=\"a \\\"q\\\" \\\\ b\",Count=7,Flag=TRUE",
      "root/cimv2:Test_Service",
      "Test_Service.Id=-3",
      "ns:Big.V=18446744073709551615",
  };
  for (const char *t : texts) {
    PathPtr p = path(t);
    EXPECT_EQ(path_to_text(p.get()), t);
  }
  EXPECT_THROW(path("ns:Class.Key=\"unterminated"), Error);
  EXPECT_THROW(path("ns:Cl@ss.k=1"), Error);
  EXPECT_THROW(path("ns:Class.k"), Error);
  EXPECT_THROW(path("ns:Class.k=notanumber"), Error);
  EXPECT_THROW(path("//hostonly"), Error);
}

TEST_F(Values, PathTextQuotesEveryKindOfKey) {
  /* Keys that the text form cannot read back as they were: references (as
   * quoted path text, quoted again inside), nulls, date-times and char16. */
  PathPtr inner = path("//h/ns:In.Name=\"a \\\"q\\\"\",N=1");
  struct Case {
    const char *name;
    CMPIType type;
    CMPIValue *value; /* null: a null key */
    const char *text;
  };
  CMPIValue ref, dt, c16;
  ref.ref = inner.get();
  Value d = datetime("20240102030405.000000+000");
  dt = d.data().value;
  c16.char16 = 0x20AC;
  const Case cases[] = {
      {"R", CMPI_ref, &ref, "R=\"//h/ns:In.Name=\\\"a \\\\\\\"q\\\\\\\"\\\",N=1\""},
      {"Z", CMPI_string, nullptr, "Z=NULL"},
      {"D", CMPI_dateTime, &dt, "D=\"20240102030405.000000+000\""},
      {"C", CMPI_char16, &c16, "C=\"\xE2\x82\xAC\""},
  };
  for (const Case &c : cases) {
    PathPtr op = path("ns:K");
    op->ft->addKey(op.get(), c.name, c.value, c.type);
    EXPECT_EQ(path_to_text(op.get()), std::string("ns:K.") + c.text) << c.name;
  }

  /* No key is an array: writing one is refused. */
  PathPtr op = path("ns:K");
  Value a = u16_array({1});
  CMPIValue av = a.data().value;
  op->ft->addKey(op.get(), "A", &av, CMPI_uint16A);
  std::string xml;
  EXPECT_THROW(write_instance_name(xml, op.get()), Error);
}

TEST_F(Values, ConversionsFollowTheDeclaredType) {
  /* Keys arrive as sint64 or string and are converted to what the class
   * declares. */
  Value v = convert_value(s64(300).data(), CimType::Uint16, false);
  EXPECT_EQ(v.type(), CMPI_uint16);
  EXPECT_EQ(v.data().value.uint16, 300);
  EXPECT_THROW(convert_value(s64(70000).data(), CimType::Uint16, false), Error);
  EXPECT_THROW(convert_value(s64(-1).data(), CimType::Uint32, false), Error);
  EXPECT_EQ(convert_value(str("42").data(), CimType::Uint8, false).data().value.uint8, 42);
  EXPECT_EQ(convert_value(str("20240102030405.000000+000").data(), CimType::DateTime, false).type(), CMPI_dateTime);
  EXPECT_EQ(convert_value(s64(3).data(), CimType::Real32, false).data().value.real32, 3.0f);
  EXPECT_EQ(text(convert_value(s64(5).data(), CimType::String, false).data()), "5");
  try {
    convert_value(str("abc").data(), CimType::Uint32, false, "parameter Timeout");
    ADD_FAILURE() << "accepted";
  } catch (const Error &e) {
    EXPECT_EQ(e.code(), CMPI_RC_ERR_TYPE_MISMATCH);
    EXPECT_NE(std::string(e.what()).find("parameter Timeout"), std::string::npos) << e.what();
  }
  Value arr = convert_value(string_array({"1", "2"}).data(), CimType::Uint16, true);
  EXPECT_EQ(arr.type(), CMPI_uint16A);
  EXPECT_EQ(arr.data().value.array->ft->getElementAt(arr.data().value.array, 1, nullptr).value.uint16, 2);
  EXPECT_THROW(convert_value(str("1").data(), CimType::Uint16, true), Error);
  EXPECT_THROW(convert_value(string_array({"1"}).data(), CimType::Uint16, false), Error);
  Value n = convert_value(Value::null_of(CMPI_string).data(), CimType::Uint8, false);
  EXPECT_TRUE(n.is_null());
  EXPECT_EQ(n.type(), CMPI_uint8);
  Value r = convert_value(str("//h/ns:A.k=\"1\"").data(), CimType::Reference, false);
  ASSERT_EQ(r.type(), CMPI_ref);
  EXPECT_EQ(host_of(r.data().value.ref), "h");
}

}  // namespace
