/* Calls and answers between the CIMOM and its provider processes, in CIM-XML (see wire.h). */
#include "wire.h"

#include <cstring>

namespace cimhost {

namespace {

struct OpName {
  CallOp op;
  const char *name;
};
const OpName kOps[] = {
    {CallOp::EnumerateInstanceNames, "EnumerateInstanceNames"},
    {CallOp::EnumerateInstances, "EnumerateInstances"},
    {CallOp::GetInstance, "GetInstance"},
    {CallOp::CreateInstance, "CreateInstance"},
    {CallOp::ModifyInstance, "ModifyInstance"},
    {CallOp::DeleteInstance, "DeleteInstance"},
    {CallOp::ExecQuery, "ExecQuery"},
    {CallOp::Associators, "Associators"},
    {CallOp::AssociatorNames, "AssociatorNames"},
    {CallOp::References, "References"},
    {CallOp::ReferenceNames, "ReferenceNames"},
    {CallOp::InvokeMethod, "InvokeMethod"},
    {CallOp::ClassExists, "ClassExists"},
    {CallOp::ClassIsA, "ClassIsA"},
    {CallOp::Load, "Load"},
    {CallOp::Cleanup, "Cleanup"},
    {CallOp::Terminate, "Terminate"},
};

const char kPath[] = "$path";
const char kProperties[] = "$properties";
const char kInstance[] = "$instance";
const char kContextPrefix[] = "$ctx:";
const char kArgPrefix[] = "$in:";

bool starts_with(const std::string &s, const char *prefix, size_t n) { return s.compare(0, n, prefix) == 0; }

CMPIData data_of(CMPIType type, const CMPIValue *v) {
  CMPIData d;
  d.type = type;
  d.state = CMPI_goodValue;
  d.value = *v;
  return d;
}

/* The placeholder every call document is addressed to. */
const CMPIObjectPath *call_target() {
  thread_local cimxml::PathPtr target(newCMPIObjectPath("cimhost", "Call", nullptr));
  return target.get();
}

/* An answer document is the envelope of an extrinsic response with the
 * answer's parts inside METHODRESPONSE. */
const char kOpenResponse[] = "<METHODRESPONSE NAME=\"A\">\n";

struct Envelope {
  std::string head, tail;
};

const Envelope &envelope() {
  static const Envelope e = [] {
    Envelope env;
    const std::string doc = cimxml::ResponseWriter("0", "A", false).finish();
    const size_t at = doc.find(kOpenResponse) + sizeof kOpenResponse - 1;
    env.head = doc.substr(0, at);
    env.tail = doc.substr(at);
    return env;
  }();
  return e;
}

std::string path_namespace(const CMPIObjectPath *op) {
  return cimxml::cmpi_text(op->ft->getNameSpace(op, nullptr));
}

/* An instance, with the object path it carries. */
void write_object(std::string &out, const CMPIInstance *inst) {
  const CMPIObjectPath *p = inst->ft->getObjectPath(inst, nullptr);
  if (p == nullptr) {
    cimxml::write_instance(out, inst);
  } else if (!path_namespace(p).empty()) {
    out += "<VALUE.OBJECTWITHPATH>";
    cimxml::write_instance_path(out, p, "", "");
    cimxml::write_instance(out, inst);
    out += "</VALUE.OBJECTWITHPATH>";
  } else {
    out += "<VALUE.NAMEDINSTANCE>";
    cimxml::write_instance_name(out, p);
    cimxml::write_instance(out, inst);
    out += "</VALUE.NAMEDINSTANCE>";
  }
  out += '\n';
}

void write_path(std::string &out, const CMPIObjectPath *p) {
  if (!path_namespace(p).empty()) {
    out += "<OBJECTPATH>";
    cimxml::write_instance_path(out, p, "", "");
    out += "</OBJECTPATH>";
  } else {
    cimxml::write_instance_name(out, p);
  }
  out += '\n';
}

}  // namespace

const char *call_op_name(CallOp op) {
  for (const OpName &o : kOps)
    if (o.op == op) return o.name;
  return "?";
}

void ContextReleaser::operator()(CMPIContext *c) const {
  if (c != nullptr) c->ft->release(c);
}

const char *Call::text(const char *name) const {
  for (const auto &[k, v] : texts)
    if (k == name) return v.c_str();
  return nullptr;
}

const char **Call::property_argv() {
  if (!properties) return nullptr;
  argv_.clear();
  for (const std::string &p : *properties) argv_.push_back(p.c_str());
  argv_.push_back(nullptr);
  return argv_.data();
}

/* ---------------------------------------------------------------- calls */

CallWriter::CallWriter(CallOp op) : w_("0", call_op_name(op), call_target()) {}

void CallWriter::context(const CMPIContext *ctx) {
  if (ctx == nullptr) return;
  cmpinative::RequestScope scope;
  const CMPICount n = ctx->ft->getEntryCount(ctx, nullptr);
  for (CMPICount i = 0; i < n; ++i) {
    CMPIString *name = nullptr;
    const CMPIData d = ctx->ft->getEntryAt(ctx, i, &name, nullptr);
    cimxml::CimType t;
    bool array = false;
    if (name == nullptr || (d.state & CMPI_nullValue) || !cimxml::from_cmpi(d.type, &t, &array)) continue;
    w_.add_param(kContextPrefix + cimxml::cmpi_text(name), d);
  }
}

void CallWriter::path(const CMPIObjectPath *op) {
  if (op == nullptr) return;
  CMPIValue v;
  v.ref = const_cast<CMPIObjectPath *>(op);
  cmpinative::RequestScope scope;
  w_.add_param(kPath, data_of(CMPI_ref, &v));
}

void CallWriter::properties(const char **props) {
  if (props == nullptr) return;
  std::vector<std::string> names;
  for (const char **p = props; *p != nullptr; ++p) names.emplace_back(*p);
  cimxml::Value v = cimxml::array_from_texts(names, cimxml::CimType::String);
  w_.add_param(kProperties, v.data());
}

void CallWriter::instance(const CMPIInstance *inst) {
  if (inst == nullptr) return;
  CMPIValue v;
  v.inst = const_cast<CMPIInstance *>(inst);
  cmpinative::RequestScope scope;
  w_.add_param(kInstance, data_of(CMPI_instance, &v));
}

void CallWriter::arguments(const CMPIArgs *in) {
  if (in == nullptr) return;
  cmpinative::RequestScope scope;
  const CMPICount n = in->ft->getArgCount(in, nullptr);
  for (CMPICount i = 0; i < n; ++i) {
    CMPIString *name = nullptr;
    const CMPIData d = in->ft->getArgAt(in, i, &name, nullptr);
    cimxml::CimType t;
    bool array = false;
    if (name == nullptr || !cimxml::from_cmpi(d.type, &t, &array)) continue;
    w_.add_param(kArgPrefix + cimxml::cmpi_text(name), d);
  }
}

void CallWriter::text(const char *name, const char *value) {
  if (value == nullptr) return;
  CMPIValue v;
  v.string = native_new_CMPIString(value, nullptr);
  cimxml::Value owned(data_of(CMPI_string, &v));
  w_.add_param(std::string("$") + name, owned.data());
}

void CallWriter::number(const char *name, uint32_t value) {
  CMPIValue v;
  v.uint32 = value;
  w_.add_param(std::string("$") + name, data_of(CMPI_uint32, &v));
}

void CallWriter::flag(const char *name, bool value) {
  CMPIValue v;
  v.boolean = value ? 1 : 0;
  w_.add_param(std::string("$") + name, data_of(CMPI_boolean, &v));
}

std::string CallWriter::finish() { return w_.finish(); }

Call read_call(const std::string &doc, const cimxml::Limits &limits) {
  cimxml::Request r = cimxml::parse_request(doc, limits);
  if (r.intrinsic) throw cimxml::Error(CMPI_RC_ERR_INVALID_PARAMETER, "a call is a METHODCALL");
  Call c;
  bool known = false;
  for (const OpName &o : kOps)
    if (r.method == o.name) {
      c.op = o.op;
      known = true;
      break;
    }
  if (!known) throw cimxml::Error(CMPI_RC_ERR_NOT_SUPPORTED, "unknown call " + r.method);
  for (cimxml::ParamValue &p : r.params) {
    const std::string &n = p.name;
    const CMPIData d = p.value.data();
    const bool null = (d.state & CMPI_nullValue) != 0;
    if (n == kPath) {
      if (d.type != CMPI_ref || null) throw cimxml::Error(CMPI_RC_ERR_INVALID_PARAMETER, "$path is no reference");
      c.path.reset(p.value.release().value.ref);
    } else if (n == kInstance) {
      if (d.type != CMPI_instance || null)
        throw cimxml::Error(CMPI_RC_ERR_INVALID_PARAMETER, "$instance is no instance");
      c.instance.reset(p.value.release().value.inst);
    } else if (n == kProperties) {
      if (d.type != CMPI_stringA || null)
        throw cimxml::Error(CMPI_RC_ERR_INVALID_PARAMETER, "$properties is no string array");
      std::vector<std::string> names;
      const CMPICount count = d.value.array->ft->getSize(d.value.array, nullptr);
      for (CMPICount i = 0; i < count; ++i) {
        const CMPIData e = d.value.array->ft->getElementAt(d.value.array, i, nullptr);
        if (!(e.state & CMPI_nullValue)) names.push_back(cimxml::cmpi_text(e.value.string));
      }
      c.properties = std::move(names);
    } else if (starts_with(n, kContextPrefix, sizeof kContextPrefix - 1)) {
      if (!c.ctx) c.ctx.reset(native_new_CMPIContext());
      if (!null) c.ctx->ft->addEntry(c.ctx.get(), n.c_str() + sizeof kContextPrefix - 1, &d.value, d.type);
    } else if (starts_with(n, kArgPrefix, sizeof kArgPrefix - 1)) {
      if (!c.in) c.in.reset(native_new_CMPIArgs(nullptr));
      c.in->ft->addArg(c.in.get(), n.c_str() + sizeof kArgPrefix - 1, null ? nullptr : &d.value, d.type);
    } else if (n.size() > 1 && n[0] == '$' && d.type == CMPI_string && !null) {
      c.texts.emplace_back(n.substr(1), cimxml::cmpi_text(d.value.string));
    } else if (d.type == CMPI_uint32 && !null) {
      c.number = d.value.uint32;
    } else if (d.type == CMPI_boolean && !null) {
      c.flag = d.value.boolean != 0;
    } else {
      throw cimxml::Error(CMPI_RC_ERR_INVALID_PARAMETER, "unexpected parameter " + n);
    }
  }
  if (!c.ctx) c.ctx.reset(native_new_CMPIContext());
  if (c.instance && c.path) c.instance->ft->setObjectPath(c.instance.get(), c.path.get());
  return c;
}

/* -------------------------------------------------------------- answers */

bool write_answer(const CMPIStatus &st, const cmpinative::ResultContents &result, const CMPIArgs *out_args,
                  size_t batch, const std::function<bool(FrameKind, int32_t, const std::string &)> &emit) {
  cmpinative::RequestScope scope;
  const Envelope &env = envelope();
  /* The objects are written after the head of the frame that carries them, so that a frame is
   * finished in place rather than copied together. */
  const std::string open = env.head + "<IRETURNVALUE>\n";
  std::string frame = open;
  auto has_objects = [&] { return frame.size() > open.size(); };
  auto finish_frame = [&]() -> const std::string & {
    frame += "</IRETURNVALUE>\n";
    frame += env.tail;
    return frame;
  };
  auto flush_if_full = [&]() {
    if (frame.size() - open.size() < batch) return true;
    const bool ok = emit(FrameKind::Items, 0, finish_frame());
    frame.resize(open.size());
    return ok;
  };
  const CMPIData *ret = nullptr;
  for (const CMPIInstance *inst : result.instances) {
    write_object(frame, inst);
    if (!flush_if_full()) return false;
  }
  for (const CMPIObjectPath *p : result.paths) {
    write_path(frame, p);
    if (!flush_if_full()) return false;
  }
  for (const CMPIData &d : result.data) {
    const bool null = (d.state & CMPI_nullValue) != 0;
    if (d.type == CMPI_instance) {
      if (!null) write_object(frame, d.value.inst);
    } else if (d.type == CMPI_ref) {
      if (!null) write_path(frame, d.value.ref);
    } else if (ret == nullptr) {
      ret = &d;
      continue;
    } else {
      continue;
    }
    if (!flush_if_full()) return false;
  }

  std::string message;
  if (st.rc != CMPI_RC_OK && st.msg != nullptr) message = cimxml::cmpi_text(st.msg);
  const CMPICount nargs = out_args != nullptr ? out_args->ft->getArgCount(out_args, nullptr) : 0;
  if (ret == nullptr && nargs == 0 && message.empty())
    return emit(FrameKind::Answer, st.rc, has_objects() ? finish_frame() : std::string());

  cimxml::ResponseWriter w("0", "A", false);
  if (ret != nullptr) {
    cimxml::CimType t;
    bool array = false;
    if (cimxml::from_cmpi(ret->type, &t, &array)) w.set_return_value(*ret);
  }
  for (CMPICount i = 0; i < nargs; ++i) {
    CMPIString *name = nullptr;
    const CMPIData d = out_args->ft->getArgAt(out_args, i, &name, nullptr);
    cimxml::CimType t;
    bool array = false;
    if (name != nullptr && cimxml::from_cmpi(d.type, &t, &array)) w.add_out_param(cimxml::cmpi_text(name), d);
  }
  std::string doc = w.finish();
  std::string inner;
  if (!message.empty())
    inner += "<ERROR CODE=\"" + std::to_string(static_cast<int>(st.rc)) + "\" DESCRIPTION=\"" +
             cimxml::escape(message) + "\"/>\n";
  if (has_objects()) inner.append(frame, env.head.size()).append("</IRETURNVALUE>\n");
  doc.insert(doc.find(kOpenResponse) + sizeof kOpenResponse - 1, inner);
  return emit(FrameKind::Answer, st.rc, doc);
}

void read_answer(const std::string &doc, const cimxml::Limits &limits, const CMPIResult *out, CMPIArgs *out_args,
                 std::string *message) {
  cimxml::Response r = cimxml::parse_response(doc, limits);
  if (r.intrinsic || r.method != "A") throw cimxml::Error(CMPI_RC_ERR_INVALID_PARAMETER, "not an answer");
  /* What was read is handed over whole when the result can take it. */
  for (cimxml::InstancePtr &i : r.instances)
    if (cmpinative::result_take(out, i.get())) i.release();
    else out->ft->returnInstance(out, i.get());
  for (cimxml::PathPtr &p : r.paths)
    if (cmpinative::result_take(out, p.get())) p.release();
    else out->ft->returnObjectPath(out, p.get());
  if (r.has_return_value) {
    const CMPIData &d = r.return_value.value.data();
    out->ft->returnData(out, (d.state & CMPI_nullValue) ? nullptr : &d.value, d.type);
  }
  if (out_args != nullptr)
    for (const cimxml::ParamValue &p : r.out_params) {
      const CMPIData &d = p.value.data();
      out_args->ft->addArg(out_args, p.name.c_str(), (d.state & CMPI_nullValue) ? nullptr : &d.value, d.type);
    }
  if (r.is_error && message != nullptr) *message = r.error_description;
}

}  // namespace cimhost
