// What crosses between the CIMOM and a provider process: calls and answers keep every value
// with its type, objects keep their paths, and what is not a call or an answer is refused.
#include <gtest/gtest.h>

#include <cmpi_native.h>

#include "rpc.h"
#include "test_support.h"
#include "wire.h"

namespace {

using cimhost::CallOp;
using cimhost::CallWriter;
using cimhost::FrameKind;

CMPIData Data(CMPIType type, CMPIValue v) {
  CMPIData d;
  d.type = type;
  d.state = CMPI_goodValue;
  d.value = v;
  return d;
}

// Values of every kind a provider hands over, named for the messages.
struct Sample {
  const char *name;
  cimxml::Value value;
};

std::vector<Sample> Samples(const CMPIObjectPath *ref) {
  std::vector<Sample> out;
  CMPIValue v;
  out.push_back({"Text", cimxml::value_from_text("a<b&c \"q\"\n", cimxml::CimType::String)});
  v.uint16 = 65535;
  out.push_back({"U16", cimxml::Value::copy(Data(CMPI_uint16, v))});
  v.sint64 = -9000000000LL;
  out.push_back({"S64", cimxml::Value::copy(Data(CMPI_sint64, v))});
  v.real64 = 1.5;
  out.push_back({"Real", cimxml::Value::copy(Data(CMPI_real64, v))});
  v.boolean = 1;
  out.push_back({"Flag", cimxml::Value::copy(Data(CMPI_boolean, v))});
  v.char16 = 'x';
  out.push_back({"Char", cimxml::Value::copy(Data(CMPI_char16, v))});
  out.push_back({"When", cimxml::value_from_text("20240102030405.123456+060", cimxml::CimType::DateTime)});
  out.push_back({"Bytes", cimxml::array_from_texts({"0", "1", "255"}, cimxml::CimType::Uint8)});
  out.push_back({"Names", cimxml::array_from_texts({"x", "", "z"}, cimxml::CimType::String)});
  v.ref = const_cast<CMPIObjectPath *>(ref);
  out.push_back({"Target", cimxml::Value::copy(Data(CMPI_ref, v))});
  out.push_back({"Missing", cimxml::Value::null_of(CMPI_uint32)});
  return out;
}

// Type and text of a value, for comparing; the text of a reference includes its host.
std::string Describe(const CMPIData &d) {
  std::string s = std::to_string(d.type) + (d.state & CMPI_nullValue ? " null" : " " + cmpinative::data_to_string(d));
  if (d.type == CMPI_ref && !(d.state & CMPI_nullValue))
    s += " @" + cimxml::cmpi_text(d.value.ref->ft->getHostname(d.value.ref, nullptr));
  return s;
}

std::string PathText(const CMPIObjectPath *p) {
  CMPIValue v;
  v.ref = const_cast<CMPIObjectPath *>(p);
  return Describe(Data(CMPI_ref, v));
}

cimxml::PathPtr Path(const char *ns, const char *cls, const char *host = nullptr) {
  cimxml::PathPtr p(newCMPIObjectPath(ns, cls, nullptr));
  if (host != nullptr) p->ft->setHostname(p.get(), host);
  return p;
}

TEST(Wire, CallsKeepEveryArgumentWithItsType) {
  cmpinative::RequestScope scope;
  cimxml::PathPtr other = Path("test/ns", "Test_Gadget", "elsewhere");
  other->ft->addKey(other.get(), "Name", reinterpret_cast<const CMPIValue *>("g1"), CMPI_chars);
  cimxml::PathPtr op = Path("test/ns", "Test_Widget", "somehost");
  std::vector<Sample> samples = Samples(other.get());
  for (const char *key : {"Text", "U16", "Flag", "Target"})
    for (Sample &s : samples)
      if (std::string(s.name) == key) op->ft->addKey(op.get(), key, &s.value.data().value, s.value.type());

  CMPIContext *ctx = native_new_CMPIContext();
  CMPIArgs *in = native_new_CMPIArgs(nullptr);
  cimxml::InstancePtr inst(native_new_CMPIInstance(op.get(), nullptr));
  for (Sample &s : samples) {
    const CMPIData &d = s.value.data();
    const CMPIValue *v = (d.state & CMPI_nullValue) ? nullptr : &d.value;
    if (v != nullptr) ctx->ft->addEntry(ctx, (std::string("ctx ") + s.name).c_str(), v, d.type);
    in->ft->addArg(in, s.name, v, d.type);
    inst->ft->setProperty(inst.get(), s.name, v, d.type);
  }
  const char *props[] = {"Text", "Bytes", nullptr};

  CallWriter w(CallOp::InvokeMethod);
  w.context(ctx);
  w.path(op.get());
  w.properties(props);
  w.instance(inst.get());
  w.arguments(in);
  w.text("Method", "Echo");
  w.text("Role", nullptr);
  w.number("Kind", 2);
  w.flag("NeverUnload", true);
  cimhost::Call c = cimhost::read_call(w.finish(), cimxml::Limits());

  EXPECT_EQ(c.op, CallOp::InvokeMethod);
  EXPECT_EQ(PathText(c.path.get()), PathText(op.get()));
  EXPECT_STREQ(c.text("Method"), "Echo");
  EXPECT_EQ(c.text("Role"), nullptr);
  EXPECT_EQ(c.number, 2u);
  EXPECT_TRUE(c.flag);
  const char **argv = c.property_argv();
  ASSERT_NE(argv, nullptr);
  EXPECT_STREQ(argv[0], "Text");
  EXPECT_STREQ(argv[1], "Bytes");
  EXPECT_EQ(argv[2], nullptr);
  ASSERT_TRUE(c.instance && c.in && c.ctx);
  // The instance's path is the operation's.
  EXPECT_EQ(PathText(c.instance->ft->getObjectPath(c.instance.get(), nullptr)), PathText(op.get()));
  for (Sample &s : samples) {
    SCOPED_TRACE(s.name);
    const std::string want = Describe(s.value.data());
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    EXPECT_EQ(Describe(c.in->ft->getArg(c.in.get(), s.name, &st)), want);
    EXPECT_EQ(Describe(c.instance->ft->getProperty(c.instance.get(), s.name, &st)), want);
    if (!(s.value.data().state & CMPI_nullValue)) {
      EXPECT_EQ(Describe(c.ctx->ft->getEntry(c.ctx.get(), (std::string("ctx ") + s.name).c_str(), &st)), want);
    }
  }
  ctx->ft->release(ctx);
  in->ft->release(in);

  // No property list is not an empty one.
  CallWriter none(CallOp::EnumerateInstances);
  none.path(op.get());
  EXPECT_EQ(cimhost::read_call(none.finish(), cimxml::Limits()).property_argv(), nullptr);
  const char *empty[] = {nullptr};
  CallWriter listed(CallOp::EnumerateInstances);
  listed.path(op.get());
  listed.properties(empty);
  cimhost::Call e = cimhost::read_call(listed.finish(), cimxml::Limits());
  ASSERT_NE(e.property_argv(), nullptr);
  EXPECT_EQ(e.property_argv()[0], nullptr);
}

struct Frames {
  std::vector<std::pair<FrameKind, std::string>> list;
  int32_t rc = -1;
};

Frames Write(const CMPIStatus &st, const CMPIResult *r, const CMPIArgs *out_args, size_t batch) {
  Frames f;
  EXPECT_TRUE(cimhost::write_answer(st, cmpinative::result_contents(r), out_args, batch,
                                    [&](FrameKind k, int32_t rc, const std::string &doc) {
                                      f.list.emplace_back(k, doc);
                                      if (k == FrameKind::Answer) f.rc = rc;
                                      return true;
                                    }));
  return f;
}

TEST(Wire, AnswersKeepObjectsPathsValuesAndStatus) {
  cmpinative::RequestScope scope;
  // Instances with a full path, without a namespace, and one returned as data; paths with a
  // host, without keys, and one returned as data; a return value among other data.
  cimxml::PathPtr full = Path("test/ns", "Test_Widget", "h1");
  full->ft->addKey(full.get(), "Name", reinterpret_cast<const CMPIValue *>("w1"), CMPI_chars);
  cimxml::PathPtr bare = Path(nullptr, "Test_Gadget");
  bare->ft->addKey(bare.get(), "Name", reinterpret_cast<const CMPIValue *>("g1"), CMPI_chars);
  cimxml::PathPtr keyless = Path("test/ns", "Test_Slow");
  std::vector<Sample> samples = Samples(full.get());
  CMPIResult *r = cmpinative::new_result();
  CMPIArgs *out_args = native_new_CMPIArgs(nullptr);
  std::vector<std::string> want_instances, want_paths;
  for (const CMPIObjectPath *p : {full.get(), bare.get()}) {
    cimxml::InstancePtr i(native_new_CMPIInstance(const_cast<CMPIObjectPath *>(p), nullptr));
    for (Sample &s : samples) {
      const CMPIData &d = s.value.data();
      i->ft->setProperty(i.get(), s.name, (d.state & CMPI_nullValue) ? nullptr : &d.value, d.type);
    }
    r->ft->returnInstance(r, i.get());
    want_instances.push_back(PathText(p));
  }
  for (const CMPIObjectPath *p : {full.get(), keyless.get(), bare.get()}) {
    r->ft->returnObjectPath(r, p);
    want_paths.push_back(PathText(p));
  }
  CMPIValue v;
  v.uint32 = 7;
  r->ft->returnData(r, &v, CMPI_uint32);
  v.ref = keyless.get();
  r->ft->returnData(r, &v, CMPI_ref);
  want_paths.push_back(PathText(keyless.get()));
  v.string = native_new_CMPIString("ignored", nullptr);
  r->ft->returnData(r, &v, CMPI_string);
  v.string->ft->release(v.string);
  for (Sample &s : samples) {
    const CMPIData &d = s.value.data();
    out_args->ft->addArg(out_args, s.name, (d.state & CMPI_nullValue) ? nullptr : &d.value, d.type);
  }

  // Small batches: the objects come in several Items frames before the Answer.
  const Frames f = Write(CMPIStatus{CMPI_RC_OK, nullptr}, r, out_args, 512);
  ASSERT_GE(f.list.size(), 3u);
  EXPECT_EQ(f.list.back().first, FrameKind::Answer);
  EXPECT_EQ(f.rc, CMPI_RC_OK);
  CMPIResult *got = cmpinative::new_result();
  CMPIArgs *got_args = native_new_CMPIArgs(nullptr);
  std::string message;
  for (const auto &[kind, doc] : f.list) {
    if (kind == FrameKind::Items) {
      EXPECT_LT(doc.size(), 4096u);
    }
    if (!doc.empty()) cimhost::read_answer(doc, cimxml::Limits(), got, kind == FrameKind::Answer ? got_args : nullptr, &message);
  }
  const cmpinative::ResultContents &c = cmpinative::result_contents(got);
  ASSERT_EQ(c.instances.size(), 2u);
  for (size_t i = 0; i < c.instances.size(); ++i) {
    EXPECT_EQ(PathText(c.instances[i]->ft->getObjectPath(c.instances[i], nullptr)), want_instances[i]);
    for (Sample &s : samples) {
      CMPIStatus st = {CMPI_RC_OK, nullptr};
      EXPECT_EQ(Describe(c.instances[i]->ft->getProperty(c.instances[i], s.name, &st)), Describe(s.value.data()))
          << s.name;
    }
  }
  std::vector<std::string> paths;
  for (const CMPIObjectPath *p : c.paths) paths.push_back(PathText(p));
  EXPECT_EQ(paths, want_paths);
  ASSERT_EQ(c.data.size(), 1u);
  CMPIValue seven;
  seven.uint32 = 7;
  EXPECT_EQ(Describe(c.data[0]), Describe(Data(CMPI_uint32, seven)));
  for (Sample &s : samples) {
    CMPIStatus st = {CMPI_RC_OK, nullptr};
    EXPECT_EQ(Describe(got_args->ft->getArg(got_args, s.name, &st)), Describe(s.value.data())) << s.name;
  }
  EXPECT_EQ(message, "");

  // A failure with its message, and a bare status: one frame each, the latter empty.
  CMPIString *msg = native_new_CMPIString("no <such> & widget", nullptr);
  const CMPIResult *nothing = cmpinative::new_result();
  const Frames failed = Write(CMPIStatus{CMPI_RC_ERR_NOT_FOUND, msg}, nothing, nullptr, 512);
  ASSERT_EQ(failed.list.size(), 1u);
  EXPECT_EQ(failed.rc, CMPI_RC_ERR_NOT_FOUND);
  cimhost::read_answer(failed.list[0].second, cimxml::Limits(), got, nullptr, &message);
  EXPECT_EQ(message, "no <such> & widget");
  const Frames bare_ok = Write(CMPIStatus{CMPI_RC_OK, nullptr}, nothing, nullptr, 512);
  ASSERT_EQ(bare_ok.list.size(), 1u);
  EXPECT_EQ(bare_ok.list[0].second, "");
  msg->ft->release(msg);
  const_cast<CMPIResult *>(nothing)->ft->release(const_cast<CMPIResult *>(nothing));
  r->ft->release(r);
  got->ft->release(got);
  out_args->ft->release(out_args);
  got_args->ft->release(got_args);
}

TEST(Wire, WhatIsNoCallOrAnswerIsRefused) {
  cmpinative::RequestScope scope;
  cimxml::PathPtr op = Path("test/ns", "Test_Widget");
  const std::string answer_doc = cimxml::ResponseWriter::error("0", "A", false, CMPI_RC_ERR_FAILED, "x");
  CallWriter unknown_op(CallOp::GetInstance);
  std::string renamed = unknown_op.finish();
  renamed.replace(renamed.find("GetInstance"), 11, "FormatDisk!");
  const std::vector<std::pair<const char *, std::string>> calls = {
      {"not XML", "<<<"},
      {"an answer", answer_doc},
      {"an intrinsic request", cimhosttest::EnumGadgets().substr(cimhosttest::EnumGadgets().find("<?xml"))},
      {"an unknown operation", renamed},
  };
  for (const auto &[what, doc] : calls) {
    EXPECT_THROW(cimhost::read_call(doc, cimxml::Limits()), cimxml::Error) << what;
  }
  CMPIResult *r = cmpinative::new_result();
  std::string message;
  CallWriter w(CallOp::GetInstance);
  w.path(op.get());
  for (const std::string &doc : {std::string("<CIM/>"), w.finish(),
                                 cimxml::ResponseWriter::error("0", "GetInstance", true, CMPI_RC_ERR_FAILED, "x")}) {
    EXPECT_THROW(cimhost::read_answer(doc, cimxml::Limits(), r, nullptr, &message), cimxml::Error) << doc;
  }
  r->ft->release(r);
}

}  // namespace
