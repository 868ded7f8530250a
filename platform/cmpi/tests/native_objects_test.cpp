/* The encapsulated native types: strings, arrays, instances, object paths,
 * args, contexts, enumerations, results and errors. */
#include <cmpidt.h>
#include <cmpift.h>
#include <cmpimacs.h>
#include <gtest/gtest.h>

#include <time.h>

#include <optional>
#include <string>
#include <vector>

#include "cmpi_native.h"

using cmpinative::data_to_string;
using cmpinative::live_objects;
using cmpinative::RequestScope;

namespace {

/* CPU time the calling thread has used, in seconds (steady under load). */
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

/* Every test runs in a request scope and must leave no object behind. */
class Objects : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = live_objects();
    scope_.emplace();
  }
  void TearDown() override {
    scope_.reset();
    EXPECT_EQ(live_objects(), base_) << "native objects leaked";
  }
  ~Objects() override { cmpinative::delete_broker(b_); }

  CMPIObjectPath *Path(const char *ns, const char *cn) { return CMNewObjectPath(b_, ns, cn, nullptr); }
  std::string Text(const CMPIString *s) { return s != nullptr ? CMGetCharPtr(s) : "<null>"; }

  cmpinative::Router router_;
  CMPIBroker *b_ = cmpinative::new_broker(&router_);
  std::optional<RequestScope> scope_;
  long base_ = 0;
};

TEST_F(Objects, NullHandlesAreRefusedByEveryType) {
  CMPIStatus rc;
  CMPIString *s = CMNewString(b_, "x", nullptr);
  EXPECT_EQ(s->ft->getCharPtr(nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_HANDLE);
  EXPECT_EQ(s->ft->release(nullptr).rc, CMPI_RC_ERR_INVALID_HANDLE);

  CMPIArray *a = CMNewArray(b_, 1, CMPI_uint8, nullptr);
  EXPECT_EQ(a->ft->clone(nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_HANDLE);
  EXPECT_EQ(a->ft->setElementAt(nullptr, 0, nullptr, CMPI_uint8).rc, CMPI_RC_ERR_INVALID_HANDLE);

  CMPIObjectPath *op = Path("ns", "C");
  EXPECT_EQ(op->ft->getKeyCount(nullptr, &rc), 0u);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_HANDLE);
  EXPECT_EQ(op->ft->toString(nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_HANDLE);

  CMPIInstance *inst = CMNewInstance(b_, op, nullptr);
  EXPECT_EQ(inst->ft->setProperty(nullptr, "P", nullptr, CMPI_uint8).rc, CMPI_RC_ERR_INVALID_HANDLE);
  EXPECT_EQ(CMSetProperty(inst, nullptr, "v", CMPI_chars).rc, CMPI_RC_ERR_INVALID_PARAMETER);
  CMPIData d = inst->ft->getProperty(nullptr, "P", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_HANDLE);
  EXPECT_FALSE(d.state == CMPI_goodValue);

  CMPIArgs *args = CMNewArgs(b_, nullptr);
  EXPECT_EQ(args->ft->addArg(nullptr, "A", nullptr, CMPI_uint8).rc, CMPI_RC_ERR_INVALID_HANDLE);
  CMPIDateTime *dt = CMNewDateTime(b_, nullptr);
  EXPECT_EQ(dt->ft->getBinaryFormat(nullptr, &rc), 0u);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_HANDLE);
  CMPIContext *ctx = native_new_CMPIContext();
  EXPECT_EQ(ctx->ft->getEntryCount(nullptr, &rc), 0u);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_HANDLE);
  CMRelease(ctx);
  EXPECT_EQ(native_clone_CMPIContext(nullptr), nullptr);
  EXPECT_EQ(CMNewInstance(b_, nullptr, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_PARAMETER);
}

TEST_F(Objects, StringCloneIsIndependent) {
  CMPIStatus rc;
  CMPIString *s = CMNewString(b_, "abc", &rc);
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetCharsPtr(s, &rc), CMGetCharPtr(s));
  CMPIString *c = CMClone(s, &rc);
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_NE(CMGetCharPtr(c), CMGetCharPtr(s));
  CMRelease(s);
  EXPECT_EQ(Text(c), "abc");
  CMRelease(c);
  EXPECT_EQ(Text(CMNewString(b_, "", nullptr)), "");
}

TEST_F(Objects, ArrayElementsAreTypedAndNullUntilSet) {
  CMPIStatus rc;
  CMPIArray *a = CMNewArray(b_, 3, CMPI_uint32, &rc);
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetArrayType(a, nullptr), CMPI_uint32);
  EXPECT_EQ(CMGetArrayCount(a, nullptr), 3u);
  for (CMPICount i = 0; i < 3; ++i) {
    CMPIData d = CMGetArrayElementAt(a, i, &rc);
    EXPECT_EQ(rc.rc, CMPI_RC_OK);
    EXPECT_EQ(d.type, CMPI_uint32);
    EXPECT_TRUE(CMIsNullValue(d)) << i;
  }
  CMPIUint32 v = 42;
  EXPECT_EQ(CMSetArrayElementAt(a, 1, &v, CMPI_uint32).rc, CMPI_RC_OK);
  CMPIData d = CMGetArrayElementAt(a, 1, nullptr);
  EXPECT_EQ(d.state, CMPI_goodValue);
  EXPECT_EQ(d.value.uint32, 42u);
  EXPECT_TRUE(CMIsNullValue(CMGetArrayElementAt(a, 2, nullptr)));

  CMPISint32 wrong = -1;
  EXPECT_EQ(CMSetArrayElementAt(a, 0, &wrong, CMPI_sint32).rc, CMPI_RC_ERR_TYPE_MISMATCH);
  EXPECT_EQ(CMSetArrayElementAt(a, 0, "text", CMPI_chars).rc, CMPI_RC_ERR_TYPE_MISMATCH);
  EXPECT_TRUE(CMIsNullValue(CMGetArrayElementAt(a, 0, nullptr)));
  EXPECT_EQ(CMSetArrayElementAt(a, 3, &v, CMPI_uint32).rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
  d = CMGetArrayElementAt(a, 3, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
  EXPECT_EQ(d.state, CMPI_notFound);

  /* Setting NULL makes an element null again. */
  EXPECT_EQ(CMSetArrayElementAt(a, 1, nullptr, CMPI_uint32).rc, CMPI_RC_OK);
  EXPECT_TRUE(CMIsNullValue(CMGetArrayElementAt(a, 1, nullptr)));
}

TEST_F(Objects, StringArraysHoldCopiedStrings) {
  CMPIArray *a = CMNewArray(b_, 3, CMPI_string, nullptr);
  EXPECT_EQ(CMSetArrayElementAt(a, 0, "from chars", CMPI_chars).rc, CMPI_RC_OK);
  CMPIString *s = CMNewString(b_, "from string", nullptr);
  EXPECT_EQ(CMSetArrayElementAt(a, 1, &s, CMPI_string).rc, CMPI_RC_OK);
  CMRelease(s);
  CMPIData d0 = CMGetArrayElementAt(a, 0, nullptr);
  CMPIData d1 = CMGetArrayElementAt(a, 1, nullptr);
  ASSERT_EQ(d0.type, CMPI_string);
  ASSERT_EQ(d1.type, CMPI_string);
  EXPECT_EQ(Text(d0.value.string), "from chars");
  EXPECT_EQ(Text(d1.value.string), "from string");
  EXPECT_TRUE(CMIsNullValue(CMGetArrayElementAt(a, 2, nullptr)));
  EXPECT_EQ(data_to_string(CMGetArrayElementAt(a, 2, nullptr)), "NULL");

  /* An array made for chars is an array of strings. */
  CMPIArray *c = CMNewArray(b_, 1, CMPI_chars, nullptr);
  EXPECT_EQ(CMGetArrayType(c, nullptr), CMPI_string);
  EXPECT_EQ(CMSetArrayElementAt(c, 0, "x", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetArrayElementAt(c, 0, nullptr).type, CMPI_string);
}

TEST_F(Objects, ArraysOfReferencesAreDeepCopies) {
  CMPIObjectPath *p1 = Path("root/cimv2", "Qelvo_Node");
  CMAddKey(p1, "Id", "n1", CMPI_chars);
  CMPIArray *a = CMNewArray(b_, 3, CMPI_ref, nullptr);
  ASSERT_EQ(CMSetArrayElementAt(a, 0, &p1, CMPI_ref).rc, CMPI_RC_OK);
  CMPIObjectPath *none = nullptr;
  ASSERT_EQ(CMSetArrayElementAt(a, 2, &none, CMPI_ref).rc, CMPI_RC_OK);
  CMAddKey(p1, "Id", "changed", CMPI_chars);

  CMPIData e0 = CMGetArrayElementAt(a, 0, nullptr);
  ASSERT_EQ(e0.type, CMPI_ref);
  EXPECT_NE(e0.value.ref, p1);
  EXPECT_EQ(data_to_string(e0), "root/cimv2:Qelvo_Node.Id=\"n1\"");
  EXPECT_TRUE(CMIsNullValue(CMGetArrayElementAt(a, 1, nullptr)));
  EXPECT_TRUE(CMIsNullValue(CMGetArrayElementAt(a, 2, nullptr)));

  CMPIArray *copy = CMClone(a, nullptr);
  CMRelease(a);
  CMPIData c0 = CMGetArrayElementAt(copy, 0, nullptr);
  EXPECT_EQ(data_to_string(c0), "root/cimv2:Qelvo_Node.Id=\"n1\"");
  EXPECT_TRUE(CMIsNullValue(CMGetArrayElementAt(copy, 2, nullptr)));
  CMRelease(copy);
}

TEST_F(Objects, ArrayPropertyIsACopyOfTheArray) {
  CMPIInstance *inst = CMNewInstance(b_, Path("ns", "C"), nullptr);
  CMPIArray *a = CMNewArray(b_, 2, CMPI_string, nullptr);
  CMSetArrayElementAt(a, 0, "a", CMPI_chars);
  CMSetArrayElementAt(a, 1, "b", CMPI_chars);
  ASSERT_EQ(CMSetProperty(inst, "List", &a, CMPI_stringA).rc, CMPI_RC_OK);
  CMSetArrayElementAt(a, 0, "changed", CMPI_chars);
  CMRelease(a);
  CMPIData d = CMGetProperty(inst, "List", nullptr);
  ASSERT_EQ(d.type, CMPI_stringA);
  EXPECT_EQ(data_to_string(d), "{\"a\",\"b\"}");
}

TEST_F(Objects, InstancePropertiesKeepTheirOrderAndTypes) {
  CMPIInstance *inst = CMNewInstance(b_, Path("root/cimv2", "Qelvo_Job"), nullptr);
  CMPIUint16 u16 = 5;
  CMPIBoolean yes = 1;
  CMPIReal64 r = 2.5;
  EXPECT_EQ(CMSetProperty(inst, "B", &u16, CMPI_uint16).rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetProperty(inst, "A", "text", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetProperty(inst, "C", &yes, CMPI_boolean).rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetProperty(inst, "N", nullptr, CMPI_uint32).rc, CMPI_RC_OK);
  ASSERT_EQ(CMGetPropertyCount(inst, nullptr), 4u);

  const char *order[] = {"B", "A", "C", "N"};
  for (CMPICount i = 0; i < 4; ++i) {
    CMPIString *name = nullptr;
    CMPIStatus rc;
    CMGetPropertyAt(inst, i, &name, &rc);
    EXPECT_EQ(rc.rc, CMPI_RC_OK);
    EXPECT_EQ(Text(name), order[i]);
  }
  CMPIData a = CMGetProperty(inst, "a", nullptr);
  EXPECT_EQ(a.type, CMPI_string);
  EXPECT_EQ(data_to_string(a), "text");
  CMPIData n = CMGetProperty(inst, "N", nullptr);
  EXPECT_EQ(n.type, CMPI_uint32);
  EXPECT_TRUE(CMIsNullValue(n));

  /* Setting an existing property (any case) replaces it in place. */
  EXPECT_EQ(CMSetProperty(inst, "b", &r, CMPI_real64).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetPropertyCount(inst, nullptr), 4u);
  CMPIString *first = nullptr;
  CMPIData b = CMGetPropertyAt(inst, 0, &first, nullptr);
  EXPECT_EQ(Text(first), "B");
  EXPECT_EQ(b.type, CMPI_real64);
  EXPECT_EQ(b.value.real64, 2.5);

  EXPECT_EQ(CMSetPropertyWithOrigin(inst, "D", "origin value", CMPI_chars, "Qelvo_Base").rc, CMPI_RC_OK);
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "D", nullptr)), "origin value");
}

/* Providers pass the address of a plain variable of the value's type: only
 * that many bytes may be read, and the address may be less aligned than a
 * CMPIValue. */
TEST_F(Objects, ValuesAreReadFromVariablesOfTheirOwnSize) {
  CMPIInstance *inst = CMNewInstance(b_, Path("ns", "C"), nullptr);
  auto *b = new CMPIBoolean(1);
  auto *u16 = new CMPIUint16(65535);
  auto *s8 = new CMPISint8(-5);
  struct alignas(8) {
    CMPIUint32 pad;
    CMPIReal32 r32;
  } packed = {0, 1.25f};
  EXPECT_EQ(CMSetProperty(inst, "B", b, CMPI_boolean).rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetProperty(inst, "U16", u16, CMPI_uint16).rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetProperty(inst, "S8", s8, CMPI_sint8).rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetProperty(inst, "R32", &packed.r32, CMPI_real32).rc, CMPI_RC_OK);
  delete b;
  delete u16;
  delete s8;
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "B", nullptr)), "true");
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "U16", nullptr)), "65535");
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "S8", nullptr)), "-5");
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "R32", nullptr)), "1.25");
}

TEST_F(Objects, MissingPropertiesAreNotFound) {
  CMPIInstance *inst = CMNewInstance(b_, Path("ns", "C"), nullptr);
  CMPIStatus rc;
  CMPIData d = CMGetProperty(inst, "Nope", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
  EXPECT_EQ(d.state, CMPI_notFound);
  CMPIString *name = CMNewString(b_, "sentinel", nullptr);
  d = CMGetPropertyAt(inst, 0, &name, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
  EXPECT_EQ(d.state, CMPI_notFound);
  EXPECT_EQ(name, nullptr);
  d = CMGetProperty(inst, nullptr, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_INVALID_PARAMETER);
}

TEST_F(Objects, InstanceTakesKeysFromItsPathAndGivesThemBack) {
  CMPIObjectPath *op = Path("root/cimv2", "Qelvo_Job");
  CMAddKey(op, "InstanceID", "j1", CMPI_chars);
  CMPIInstance *inst = CMNewInstance(b_, op, nullptr);
  CMPIData id = CMGetProperty(inst, "InstanceID", nullptr);
  EXPECT_EQ(data_to_string(id), "j1");
  EXPECT_FALSE(CMIsKeyValue(id));

  CMSetProperty(inst, "InstanceID", "j2", CMPI_chars);
  CMSetProperty(inst, "Name", "not a key", CMPI_chars);
  CMPIObjectPath *got = CMGetObjectPath(inst, nullptr);
  ASSERT_NE(got, nullptr);
  EXPECT_NE(got, op);
  EXPECT_EQ(Text(CMObjectPathToString(got, nullptr)), "root/cimv2:Qelvo_Job.InstanceID=\"j2\"");
  EXPECT_TRUE(CMIsKeyValue(CMGetKey(got, "InstanceID", nullptr)));
  /* The path given at creation is not changed. */
  EXPECT_EQ(data_to_string(CMGetKey(op, "InstanceID", nullptr)), "j1");

  CMPIObjectPath *other = Path("interop", "Qelvo_Other");
  EXPECT_EQ(CMSetObjectPath(inst, other).rc, CMPI_RC_OK);
  CMRelease(other);
  EXPECT_EQ(Text(CMObjectPathToString(CMGetObjectPath(inst, nullptr), nullptr)), "interop:Qelvo_Other");
  EXPECT_EQ(CMSetObjectPath(inst, nullptr).rc, CMPI_RC_ERR_INVALID_PARAMETER);
}

TEST_F(Objects, PropertyFilterDropsAndIgnoresUnlistedPropertiesButKeepsKeys) {
  CMPIObjectPath *op = Path("ns", "C");
  CMAddKey(op, "Id", "k", CMPI_chars);
  CMPIInstance *inst = CMNewInstance(b_, op, nullptr);
  CMSetProperty(inst, "Alpha", "a", CMPI_chars);
  CMSetProperty(inst, "Beta", "b", CMPI_chars);
  CMSetProperty(inst, "Gamma", "g", CMPI_chars);

  const char *props[] = {"alpha", "GAMMA", nullptr};
  const char *keys[] = {"Extra", nullptr};
  ASSERT_EQ(CMSetPropertyFilter(inst, props, keys).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetPropertyCount(inst, nullptr), 3u);  // Id, Alpha, Gamma
  EXPECT_EQ(CMGetProperty(inst, "Beta", nullptr).state, CMPI_notFound);
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "Id", nullptr)), "k");

  /* Unlisted: accepted and dropped. Listed, keys and named keys: stored. */
  EXPECT_EQ(CMSetProperty(inst, "Beta", "again", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetProperty(inst, "Beta", nullptr).state, CMPI_notFound);
  EXPECT_EQ(CMSetProperty(inst, "alpha", "a2", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "Alpha", nullptr)), "a2");
  EXPECT_EQ(CMSetProperty(inst, "ID", "k2", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "Id", nullptr)), "k2");
  EXPECT_EQ(CMSetProperty(inst, "extra", "e", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "Extra", nullptr)), "e");

  /* A clone keeps the filter. */
  CMPIInstance *copy = CMClone(inst, nullptr);
  EXPECT_EQ(CMSetProperty(copy, "Beta", "b", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetProperty(copy, "Beta", nullptr).state, CMPI_notFound);
  CMRelease(copy);

  /* No list: every property again. */
  ASSERT_EQ(CMSetPropertyFilter(inst, nullptr, nullptr).rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetProperty(inst, "Beta", "back", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "Beta", nullptr)), "back");
}

TEST_F(Objects, EmptyPropertyFilterKeepsOnlyKeys) {
  CMPIObjectPath *op = Path("ns", "C");
  CMAddKey(op, "Id", "k", CMPI_chars);
  CMPIInstance *inst = CMNewInstance(b_, op, nullptr);
  CMSetProperty(inst, "Other", "o", CMPI_chars);
  const char *none[] = {nullptr};
  ASSERT_EQ(CMSetPropertyFilter(inst, none, nullptr).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetPropertyCount(inst, nullptr), 1u);
  EXPECT_EQ(data_to_string(CMGetProperty(inst, "Id", nullptr)), "k");
}

TEST_F(Objects, InstanceCloneIsIndependent) {
  CMPIObjectPath *op = Path("ns", "C");
  CMAddKey(op, "Id", "k", CMPI_chars);
  CMPIInstance *inst = CMNewInstance(b_, op, nullptr);
  CMPIInstance *embedded = CMNewInstance(b_, Path("ns", "Inner"), nullptr);
  CMSetProperty(embedded, "X", "inner", CMPI_chars);
  CMSetProperty(inst, "Embedded", &embedded, CMPI_instance);
  CMSetProperty(inst, "P", "before", CMPI_chars);

  CMPIInstance *copy = CMClone(inst, nullptr);
  CMSetProperty(inst, "P", "after", CMPI_chars);
  CMSetProperty(embedded, "X", "changed", CMPI_chars);
  CMRelease(inst);
  EXPECT_EQ(data_to_string(CMGetProperty(copy, "P", nullptr)), "before");
  CMPIData e = CMGetProperty(copy, "Embedded", nullptr);
  ASSERT_EQ(e.type, CMPI_instance);
  EXPECT_EQ(data_to_string(CMGetProperty(e.value.inst, "X", nullptr)), "inner");
  EXPECT_EQ(Text(CMObjectPathToString(CMGetObjectPath(copy, nullptr), nullptr)), "ns:C.Id=\"k\"");
  CMRelease(copy);
}

TEST_F(Objects, ObjectPathTextForm) {
  CMPIObjectPath *op = Path("root/cimv2", "Qelvo_Job");
  CMSetHostname(op, "esx1");
  CMPISint64 num = -3;
  CMPIBoolean flag = 1;
  CMAddKey(op, "InstanceID", "a\"b\\c", CMPI_chars);
  CMAddKey(op, "Num", &num, CMPI_sint64);
  CMAddKey(op, "Flag", &flag, CMPI_boolean);
  const char *expected = "//esx1/root/cimv2:Qelvo_Job.InstanceID=\"a\\\"b\\\\c\",Num=-3,Flag=true";
  CMPIStatus rc;
  EXPECT_EQ(Text(CMObjectPathToString(op, &rc)), expected);
  EXPECT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(Text(CDToString(b_, op, &rc)), expected);

  CMSetHostname(op, "");
  CMPIObjectPath *assoc = Path("", "Qelvo_Assoc");
  CMAddKey(assoc, "Ref", &op, CMPI_ref);
  EXPECT_EQ(Text(CMObjectPathToString(assoc, nullptr)),
            "Qelvo_Assoc.Ref=\"root/cimv2:Qelvo_Job.InstanceID=\\\"a\\\\\\\"b\\\\\\\\c\\\",Num=-3,Flag=true\"");
  EXPECT_EQ(Text(CMObjectPathToString(Path("", "Bare"), nullptr)), "Bare");
  EXPECT_EQ(Text(CMObjectPathToString(Path("ns", "C"), nullptr)), "ns:C");
}

TEST_F(Objects, ObjectPathKeysAreOrderedCaseInsensitiveAndMarked) {
  CMPIObjectPath *op = Path("ns", "C");
  CMPIUint32 n = 7;
  EXPECT_EQ(CMAddKey(op, "Name", "x", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(CMAddKey(op, "Number", &n, CMPI_uint32).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetKeyCount(op, nullptr), 2u);
  CMPIData k = CMGetKey(op, "NAME", nullptr);
  EXPECT_EQ(k.type, CMPI_string);
  EXPECT_TRUE(CMIsKeyValue(k));
  EXPECT_EQ(data_to_string(k), "x");
  CMPIString *name = nullptr;
  k = CMGetKeyAt(op, 1, &name, nullptr);
  EXPECT_EQ(Text(name), "Number");
  EXPECT_EQ(k.value.uint32, 7u);
  EXPECT_TRUE(CMIsKeyValue(k));

  EXPECT_EQ(CMAddKey(op, "name", "y", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetKeyCount(op, nullptr), 2u);
  EXPECT_EQ(Text(CMObjectPathToString(op, nullptr)), "ns:C.Name=\"y\",Number=7");

  CMPIStatus rc;
  k = CMGetKey(op, "Missing", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
  EXPECT_EQ(k.state, CMPI_notFound);
  CMGetKeyAt(op, 2, nullptr, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
}

TEST_F(Objects, ObjectPathPartsAndCopiesFromOtherPaths) {
  CMPIObjectPath *op = Path("ns1", "C");
  CMPIObjectPath *src = Path("ns2", "D");
  CMSetHostname(src, "far");
  EXPECT_EQ(Text(CMGetNameSpace(op, nullptr)), "ns1");
  EXPECT_EQ(Text(CMGetHostname(op, nullptr)), "");
  EXPECT_EQ(CMSetNameSpaceFromObjectPath(op, src).rc, CMPI_RC_OK);
  EXPECT_EQ(Text(CMGetNameSpace(op, nullptr)), "ns2");
  EXPECT_EQ(Text(CMGetHostname(op, nullptr)), "");
  EXPECT_EQ(CMSetHostAndNameSpaceFromObjectPath(op, src).rc, CMPI_RC_OK);
  EXPECT_EQ(Text(CMGetHostname(op, nullptr)), "far");
  EXPECT_EQ(Text(CMGetClassName(op, nullptr)), "C");
  EXPECT_EQ(CMSetClassName(op, "E").rc, CMPI_RC_OK);
  EXPECT_EQ(Text(CMGetClassName(op, nullptr)), "E");
  EXPECT_EQ(CMSetNameSpaceFromObjectPath(op, nullptr).rc, CMPI_RC_ERR_INVALID_PARAMETER);
  CMPIString *not_a_path = CMNewString(b_, "x", nullptr);
  EXPECT_EQ(CMSetNameSpaceFromObjectPath(op, reinterpret_cast<CMPIObjectPath *>(not_a_path)).rc,
            CMPI_RC_ERR_INVALID_PARAMETER);

  CMPIStatus rc;
  CMGetClassQualifier(op, "Abstract", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  CMGetPropertyQualifier(op, "P", "Key", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  CMGetMethodQualifier(op, "M", "Static", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);
  CMGetParameterQualifier(op, "M", "P", "In", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NOT_SUPPORTED);

  CMPIObjectPath *copy = CMClone(op, nullptr);
  CMSetNameSpace(op, "changed");
  EXPECT_EQ(Text(CMGetNameSpace(copy, nullptr)), "ns2");
  CMRelease(copy);
}

// Namespaces, class names and hosts short enough to be kept in place and those just too long,
// read back from the path, its clone and its text form after the original has gone.
TEST_F(Objects, ObjectPathTextsOfEveryLength) {
  const std::string texts[] = {"", "n", std::string(23, 'a'), std::string(24, 'b'), std::string(300, 'c')};
  for (const std::string &text : texts) {
    CMPIObjectPath *op = newCMPIObjectPath(text.c_str(), text.c_str(), nullptr);
    CMSetHostname(op, text.c_str());
    CMPIObjectPath *copy = CMClone(op, nullptr);
    CMRelease(op);
    EXPECT_EQ(Text(CMGetNameSpace(copy, nullptr)), text);
    EXPECT_EQ(Text(CMGetClassName(copy, nullptr)), text);
    EXPECT_EQ(Text(CMGetHostname(copy, nullptr)), text);
    EXPECT_EQ(Text(CMObjectPathToString(copy, nullptr)),
              text.empty() ? "" : "//" + text + "/" + text + ":" + text);
    CMRelease(copy);
  }
}

TEST_F(Objects, ArgsAreOrderedWithCaseInsensitiveNames) {
  CMPIArgs *args = CMNewArgs(b_, nullptr);
  CMPIObjectPath *job = Path("ns", "Qelvo_Job");
  CMPIUint32 count = 3;
  EXPECT_EQ(CMAddArg(args, "Job", &job, CMPI_ref).rc, CMPI_RC_OK);
  EXPECT_EQ(CMAddArg(args, "Count", &count, CMPI_uint32).rc, CMPI_RC_OK);
  EXPECT_EQ(CMAddArg(args, "Name", "n", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetArgCount(args, nullptr), 3u);
  CMPIData d = CMGetArg(args, "job", nullptr);
  ASSERT_EQ(d.type, CMPI_ref);
  EXPECT_NE(d.value.ref, job);
  CMPIString *name = nullptr;
  d = CMGetArgAt(args, 1, &name, nullptr);
  EXPECT_EQ(Text(name), "Count");
  EXPECT_EQ(d.value.uint32, 3u);
  EXPECT_EQ(CMGetArg(args, "NAME", nullptr).type, CMPI_string);

  count = 4;
  EXPECT_EQ(CMAddArg(args, "COUNT", &count, CMPI_uint32).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetArgCount(args, nullptr), 3u);
  CMPIArgs *copy = CMClone(args, nullptr);
  count = 5;
  CMAddArg(args, "Count", &count, CMPI_uint32);
  EXPECT_EQ(CMGetArg(copy, "Count", nullptr).value.uint32, 4u);
  CMRelease(copy);

  CMPIStatus rc;
  d = CMGetArg(args, "Missing", &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
  EXPECT_EQ(d.state, CMPI_notFound);
}

TEST_F(Objects, ContextEntriesAreReplacedAndLookedUpByName) {
  CMPIContext *ctx = native_new_CMPIContext();
  ASSERT_NE(ctx, nullptr);
  CMPIUint32 flags = 0;
  EXPECT_EQ(CMAddContextEntry(ctx, CMPIPrincipal, "root", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(CMAddContextEntry(ctx, CMPIInvocationFlags, &flags, CMPI_uint32).rc, CMPI_RC_OK);
  EXPECT_EQ(CMAddContextEntry(ctx, CMPIPrincipal, "admin", CMPI_chars).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetContextEntryCount(ctx, nullptr), 2u);
  EXPECT_EQ(data_to_string(CMGetContextEntry(ctx, CMPIPrincipal, nullptr)), "admin");
  CMPIString *name = nullptr;
  CMPIData d = CMGetContextEntryAt(ctx, 1, &name, nullptr);
  EXPECT_EQ(Text(name), CMPIInvocationFlags);
  EXPECT_EQ(d.type, CMPI_uint32);

  CMPIStatus rc;
  d = CMGetContextEntry(ctx, CMPIInitNameSpace, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
  EXPECT_EQ(d.state, CMPI_notFound);
  CMRelease(ctx);
}

TEST_F(Objects, ClonedContextOutlivesTheRequestAndIsIndependent) {
  CMPIContext *copy = nullptr;
  {
    RequestScope request;
    CMPIContext *ctx = native_new_CMPIContext();
    CMAddContextEntry(ctx, CMPIInitNameSpace, "root/cimv2", CMPI_chars);
    CMPIString *s = CMNewString(b_, "scoped", nullptr);
    CMAddContextEntry(ctx, "Extra", &s, CMPI_string);
    copy = native_clone_CMPIContext(ctx);
    CMAddContextEntry(ctx, CMPIInitNameSpace, "interop", CMPI_chars);
    CMRelease(ctx);
  }
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(CMGetContextEntryCount(copy, nullptr), 2u);
  EXPECT_EQ(data_to_string(CMGetContextEntry(copy, CMPIInitNameSpace, nullptr)), "root/cimv2");
  EXPECT_EQ(data_to_string(CMGetContextEntry(copy, "Extra", nullptr)), "scoped");
  CMRelease(copy);
}

TEST_F(Objects, EnumerationReadsValuesOnceAndConvertsToArray) {
  std::vector<CMPIData> values;
  for (const char *name : {"one", "two"}) {
    CMPIObjectPath *op = Path("ns", "C");
    CMAddKey(op, "Id", name, CMPI_chars);
    CMPIData d;
    d.type = CMPI_ref;
    d.state = CMPI_goodValue;
    d.value.ref = op;
    values.push_back(d);
  }
  CMPIEnumeration *en = cmpinative::new_enumeration(values);
  for (CMPIData &d : values) CMRelease(d.value.ref);

  CMPIStatus rc;
  EXPECT_TRUE(CMHasNext(en, nullptr));
  CMPIData first = CMGetNext(en, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(data_to_string(first), "ns:C.Id=\"one\"");
  CMPIEnumeration *rest = CMClone(en, nullptr);
  EXPECT_EQ(data_to_string(CMGetNext(en, nullptr)), "ns:C.Id=\"two\"");
  EXPECT_FALSE(CMHasNext(en, nullptr));
  CMPIData none = CMGetNext(en, &rc);
  EXPECT_EQ(rc.rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
  EXPECT_EQ(none.state, CMPI_notFound);

  EXPECT_EQ(data_to_string(CMGetNext(rest, nullptr)), "ns:C.Id=\"two\"");
  CMRelease(rest);

  CMPIArray *all = CMToArray(en, &rc);
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetArrayType(all, nullptr), CMPI_ref);
  ASSERT_EQ(CMGetArrayCount(all, nullptr), 2u);
  EXPECT_EQ(data_to_string(CMGetArrayElementAt(all, 0, nullptr)), "ns:C.Id=\"one\"");
}

TEST_F(Objects, ResultKeepsCopiesOfWhatWasReturned) {
  CMPIResult *result = cmpinative::new_result();
  CMPIInstance *inst = nullptr;
  {
    RequestScope request;
    CMPIObjectPath *op = Path("ns", "C");
    CMAddKey(op, "Id", "r1", CMPI_chars);
    inst = CMNewInstance(b_, op, nullptr);
    CMPIUint32 rv = 9;
    EXPECT_EQ(CMReturnInstance(result, inst).rc, CMPI_RC_OK);
    EXPECT_EQ(CMReturnObjectPath(result, op).rc, CMPI_RC_OK);
    EXPECT_EQ(CMReturnData(result, &rv, CMPI_uint32).rc, CMPI_RC_OK);
    EXPECT_EQ(CMReturnData(result, "text", CMPI_chars).rc, CMPI_RC_OK);
    CMPIError *err = CMNewCMPIError(b_, "me", "E1", "went wrong", ErrorSevHigh, Software_Error,
                                    CMPI_RC_ERR_FAILED, nullptr);
    EXPECT_EQ(CMReturnError(result, err).rc, CMPI_RC_OK);
    EXPECT_EQ(CMReturnDone(result).rc, CMPI_RC_OK);
    EXPECT_EQ(CMReturnDone(result).rc, CMPI_RC_OK);
    EXPECT_EQ(CMReturnInstance(result, nullptr).rc, CMPI_RC_ERR_INVALID_PARAMETER);
    EXPECT_EQ(CMReturnObjectPath(result, nullptr).rc, CMPI_RC_ERR_INVALID_PARAMETER);
  }
  const cmpinative::ResultContents &c = cmpinative::result_contents(result);
  ASSERT_EQ(c.instances.size(), 1u);
  EXPECT_NE(c.instances[0], inst);
  EXPECT_EQ(data_to_string(CMGetProperty(c.instances[0], "Id", nullptr)), "r1");
  ASSERT_EQ(c.paths.size(), 1u);
  EXPECT_EQ(Text(CMObjectPathToString(c.paths[0], nullptr)), "ns:C.Id=\"r1\"");
  ASSERT_EQ(c.data.size(), 2u);
  EXPECT_EQ(c.data[0].value.uint32, 9u);
  EXPECT_EQ(c.data[1].type, CMPI_string);
  EXPECT_EQ(data_to_string(c.data[1]), "text");
  ASSERT_EQ(c.errors.size(), 1u);
  EXPECT_EQ(Text(CMGetErrorMessage(c.errors[0], nullptr)), "went wrong");
  EXPECT_EQ(c.done_count, 2);

  CMPIResult *copy = CMClone(result, nullptr);
  CMRelease(result);
  const cmpinative::ResultContents &cc = cmpinative::result_contents(copy);
  EXPECT_EQ(cc.instances.size(), 1u);
  EXPECT_EQ(cc.done_count, 2);
  EXPECT_EQ(data_to_string(cc.data[1]), "text");
  CMRelease(copy);
}

TEST_F(Objects, ResultsOfManyObjectsAreCollectedInLinearTime) {
  constexpr CMPIUint32 kMany = 40000, kShort = 10;
  CMPIObjectPath *op = Path("ns", "C");
  CMAddKey(op, "Id", "r1", CMPI_chars);
  CMPIInstance *inst = CMNewInstance(b_, op, nullptr);
  /* Each round returns an instance, a path and a value, and hands over an instance. */
  auto fill = [&](CMPIResult *r, CMPIUint32 n) {
    for (CMPIUint32 i = 0; i < n; ++i) {
      CMReturnInstance(r, inst);
      CMReturnObjectPath(r, op);
      CMReturnData(r, &i, CMPI_uint32);
      ASSERT_TRUE(cmpinative::result_take(r, CMClone(inst, nullptr)));
    }
  };
  /* The yardstick: as many rounds, into short results. */
  double start = thread_seconds();
  for (CMPIUint32 k = 0; k < kMany / kShort; ++k) {
    CMPIResult *small = cmpinative::new_result();
    fill(small, kShort);
    CMRelease(small);
  }
  const double yardstick = thread_seconds() - start;

  start = thread_seconds();
  CMPIResult *result = cmpinative::new_result();
  fill(result, kMany);
  const double many = thread_seconds() - start;
  EXPECT_LT(many, 10 * yardstick + 0.05) << many << " s for one result, " << yardstick << " s for short ones";
  const cmpinative::ResultContents &c = cmpinative::result_contents(result);
  ASSERT_EQ(c.instances.size(), 2 * kMany);
  ASSERT_EQ(c.paths.size(), kMany);
  ASSERT_EQ(c.data.size(), kMany);
  EXPECT_EQ(c.data[kMany - 1].value.uint32, kMany - 1);
  EXPECT_EQ(data_to_string(CMGetProperty(c.instances[2 * kMany - 1], "Id", nullptr)), "r1");
  CMRelease(result);
}

TEST_F(Objects, ErrorAttributes) {
  CMPIStatus rc;
  CMPIError *er = CMNewCMPIError(b_, "Qelvo", "QLV001", "disk full", ErrorSevFatal, Disk_Failure,
                                 CMPI_RC_ERR_FAILED, &rc);
  ASSERT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(Text(CMGetOwningEntity(er, nullptr)), "Qelvo");
  EXPECT_EQ(Text(CMGetMessageID(er, nullptr)), "QLV001");
  EXPECT_EQ(Text(CMGetErrorMessage(er, nullptr)), "disk full");
  EXPECT_EQ(CMGetPerceivedSeverity(er, nullptr), ErrorSevFatal);
  EXPECT_EQ(CMGetProbableCause(er, nullptr), Disk_Failure);
  EXPECT_EQ(CMGetCIMStatusCode(er, nullptr), CMPI_RC_ERR_FAILED);
  EXPECT_EQ(CMGetErrorType(er, nullptr), UnknownErrorType);
  EXPECT_EQ(CMGetOtherErrorType(er, &rc), nullptr);
  EXPECT_EQ(rc.rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetRecommendedActions(er, nullptr), nullptr);

  EXPECT_EQ(CMSetErrorType(er, HardwareError).rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetOtherErrorType(er, "other").rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetProbableCauseDescription(er, "cause").rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetErrorSource(er, "source").rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetErrorSourceFormat(er, CIMObjectHandle).rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetOtherErrorSourceFormat(er, "fmt").rc, CMPI_RC_OK);
  EXPECT_EQ(CMSetCIMStatusCodeDescription(er, "status text").rc, CMPI_RC_OK);
  CMPIArray *actions = CMNewArray(b_, 1, CMPI_string, nullptr);
  CMSetArrayElementAt(actions, 0, "replace disk", CMPI_chars);
  EXPECT_EQ(CMSetRecommendedActions(er, actions).rc, CMPI_RC_OK);
  CMSetArrayElementAt(actions, 0, "changed", CMPI_chars);
  CMPIArray *numbers = CMNewArray(b_, 1, CMPI_uint32, nullptr);
  EXPECT_EQ(CMSetMessageArguments(er, numbers).rc, CMPI_RC_ERR_TYPE_MISMATCH);
  EXPECT_EQ(CMSetMessageArguments(er, actions).rc, CMPI_RC_OK);

  CMPIError *copy = CMClone(er, nullptr);
  CMSetErrorSource(er, "changed");
  CMRelease(er);
  EXPECT_EQ(CMGetErrorType(copy, nullptr), HardwareError);
  EXPECT_EQ(Text(CMGetOtherErrorType(copy, nullptr)), "other");
  EXPECT_EQ(Text(CMGetProbableCauseDescription(copy, nullptr)), "cause");
  EXPECT_EQ(Text(CMGetErrorSource(copy, nullptr)), "source");
  EXPECT_EQ(CMGetErrorSourceFormat(copy, nullptr), CIMObjectHandle);
  EXPECT_EQ(Text(CMGetOtherErrorSourceFormat(copy, nullptr)), "fmt");
  EXPECT_EQ(Text(CMGetCIMStatusCodeDescription(copy, nullptr)), "status text");
  CMPIArray *got = CMGetRecommendedActions(copy, nullptr);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(data_to_string(CMGetArrayElementAt(got, 0, nullptr)), "replace disk");
  CMPIArray *args = CMGetMessageArguments(copy, nullptr);
  ASSERT_NE(args, nullptr);
  EXPECT_EQ(data_to_string(CMGetArrayElementAt(args, 0, nullptr)), "changed");
  EXPECT_EQ(CMSetOtherErrorType(copy, nullptr).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetOtherErrorType(copy, nullptr), nullptr);
  CMRelease(copy);
}

TEST_F(Objects, DataCopiesAndTextForms) {
  CMPIData d;
  d.type = CMPI_string;
  d.state = CMPI_goodValue;
  d.value.string = CMNewString(b_, "abc", nullptr);
  long before = live_objects();
  CMPIData copy = cmpinative::copy_data(d);
  EXPECT_EQ(live_objects(), before + 1);
  EXPECT_NE(copy.value.string, d.value.string);
  EXPECT_EQ(data_to_string(copy), "abc");
  cmpinative::release_data(copy);
  EXPECT_EQ(live_objects(), before);
  EXPECT_TRUE(CMIsNullValue(copy));

  CMPIData chars;
  chars.type = CMPI_chars;
  chars.state = CMPI_goodValue;
  chars.value.chars = const_cast<char *>("raw");
  CMPIData chars_copy = cmpinative::copy_data(chars);
  EXPECT_NE(chars_copy.value.chars, chars.value.chars);
  EXPECT_EQ(data_to_string(chars_copy), "raw");
  cmpinative::release_data(chars_copy);

  CMPIData n;
  n.state = CMPI_goodValue;
  n.type = CMPI_sint8;
  n.value.sint8 = -8;
  EXPECT_EQ(data_to_string(n), "-8");
  n.type = CMPI_uint64;
  n.value.uint64 = 18446744073709551615ULL;
  EXPECT_EQ(data_to_string(n), "18446744073709551615");
  n.type = CMPI_real64;
  n.value.real64 = 0.1;
  EXPECT_EQ(data_to_string(n), "0.1");
  n.type = CMPI_boolean;
  n.value.boolean = 0;
  EXPECT_EQ(data_to_string(n), "false");
  n.type = CMPI_dateTime;
  n.value.dateTime = CMNewDateTimeFromBinary(b_, 1000001, 1, nullptr);
  EXPECT_EQ(data_to_string(n), "00000000000001.000001:000");
  n.state = CMPI_nullValue;
  EXPECT_EQ(data_to_string(n), "NULL");
}

/* Lists of names past the few of a typical instance: setting each name costs
 * the same however many there are, and lookups, order, replacement, clones,
 * filters and paths made from them behave as with short lists. */
TEST_F(Objects, InstancesWithManyPropertiesAreBuiltInLinearTime) {
  constexpr CMPIUint32 kMany = 50000, kShort = 10, kKeys = 20;
  auto fill = [](CMPIInstance *inst, CMPIUint32 n) {
    for (CMPIUint32 i = 0; i < n; ++i) CMSetProperty(inst, ("Prop" + std::to_string(i)).c_str(), &i, CMPI_uint32);
  };
  /* The yardstick: as many properties, set on short instances. */
  CMPIObjectPath *plain = Path("ns", "C");
  double start = thread_seconds();
  for (CMPIUint32 k = 0; k < kMany / kShort; ++k) {
    CMPIInstance *small = CMNewInstance(b_, plain, nullptr);
    fill(small, kShort);
    CMRelease(small);
  }
  const double yardstick = thread_seconds() - start;

  CMPIObjectPath *keyed = Path("ns", "C");
  for (CMPIUint32 k = 0; k < kKeys; ++k)
    CMAddKey(keyed, ("Key" + std::to_string(k)).c_str(), ("k" + std::to_string(k)).c_str(), CMPI_chars);
  start = thread_seconds();
  CMPIInstance *inst = CMNewInstance(b_, keyed, nullptr);
  fill(inst, kMany);
  const double many = thread_seconds() - start;
  EXPECT_LT(many, 10 * yardstick + 0.05) << many << " s for one instance, " << yardstick << " s for short ones";

  CMPIUint32 seven = 7;
  CMSetProperty(inst, "PROP4711", &seven, CMPI_uint32);  // replaced in place, keeping its spelling
  CMSetProperty(inst, "key3", "changed", CMPI_chars);
  ASSERT_EQ(CMGetPropertyCount(inst, nullptr), kKeys + kMany);
  for (CMPIUint32 i = 0; i < kMany; ++i) {
    const CMPIUint32 want = i == 4711 ? 7 : i;
    ASSERT_EQ(CMGetProperty(inst, ("PROP" + std::to_string(i)).c_str(), nullptr).value.uint32, want) << i;
    CMPIString *name = nullptr;
    ASSERT_EQ(CMGetPropertyAt(inst, kKeys + i, &name, nullptr).value.uint32, want) << i;
    ASSERT_EQ(Text(name), "Prop" + std::to_string(i));
  }
  EXPECT_EQ(CMGetProperty(inst, "Prop50000", nullptr).state, CMPI_notFound);
  CMPIObjectPath *op = CMGetObjectPath(inst, nullptr);
  EXPECT_EQ(CMGetKeyCount(op, nullptr), kKeys);
  EXPECT_EQ(data_to_string(CMGetKey(op, "KEY3", nullptr)), "changed");
  EXPECT_EQ(data_to_string(CMGetKey(op, "key19", nullptr)), "k19");

  /* A clone is independent, and a filter keeps the keys and listed names. */
  CMPIInstance *copy = CMClone(inst, nullptr);
  CMSetProperty(copy, "Extra", "e", CMPI_chars);
  CMSetProperty(copy, "prop1", &seven, CMPI_uint32);
  EXPECT_EQ(CMGetProperty(inst, "Extra", nullptr).state, CMPI_notFound);
  EXPECT_EQ(CMGetProperty(inst, "Prop1", nullptr).value.uint32, 1u);
  const char *listed[] = {"prop40000", "EXTRA", nullptr};
  ASSERT_EQ(CMSetPropertyFilter(copy, listed, nullptr).rc, CMPI_RC_OK);
  EXPECT_EQ(CMGetPropertyCount(copy, nullptr), kKeys + 2);
  EXPECT_EQ(CMGetProperty(copy, "Prop1", nullptr).state, CMPI_notFound);
  EXPECT_EQ(CMGetProperty(copy, "Prop40000", nullptr).value.uint32, 40000u);
  EXPECT_EQ(data_to_string(CMGetProperty(copy, "KEY19", nullptr)), "k19");
  CMPIString *last = nullptr;
  EXPECT_EQ(data_to_string(CMGetPropertyAt(copy, kKeys + 1, &last, nullptr)), "e");
  EXPECT_EQ(Text(last), "Extra");
  CMRelease(copy);
}

}  // namespace
