#include "store_controller.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>

#include "sim_config.h"

namespace fwtest {

namespace {

constexpr uint8_t kNetfnStore = 0x2e;
constexpr uint8_t kCmdStore = 0x90;

uint32_t Le(const uint8_t *p, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

StoreRequest Decode(const ipmisim::Packet &p) {
  StoreRequest r;
  if (p.data_len < 4) return r;
  r.op = p.data[3];
  r.data.assign(p.data + 4, p.data + p.data_len);
  const Bytes &d = r.data;
  switch (r.op) {
    case 1:
      if (d.size() >= 33) r.name = std::string(reinterpret_cast<const char *>(&d[8]), strnlen(reinterpret_cast<const char *>(&d[8]), 25));
      break;
    case 2:
      if (d.size() >= 9) {
        r.offset = Le(&d[4], 4);
        r.count = d[8];
      }
      break;
    case 3:
      if (d.size() >= 8) {
        r.offset = Le(&d[4], 4);
        r.count = static_cast<unsigned>(d.size() - 8);
      }
      break;
    case 6:
    case 7:
      r.name.assign(d.begin(), d.end());
      break;
  }
  return r;
}

}  // namespace

StoreController::StoreController(const std::map<std::string, Bytes> &files,
                                 const std::vector<std::pair<std::string, std::string>> &settings, Hook hook,
                                 const std::string &device)
    : sim_(new tavik::Controller), hook_(std::move(hook)) {
  tavik::Config cfg;
  int n = 0;
  for (const auto &f : files) {
    const std::string path = "/tmp/store-file-" + std::to_string(n++);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(f.second.data()), static_cast<std::streamsize>(f.second.size()));
    out.close();
    if (!cfg.Set("file", f.first + "=" + path, &error_)) return;
  }
  for (const auto &s : settings) {
    if (!cfg.Set(s.first, s.second, &error_)) return;
  }
  if (!cfg.Finish(&error_) || !sim_->Init(cfg, &error_)) return;
  // The handler runs on the fake's one thread; the simulator is used from there only, except by
  // File(), which tests call while no request is in flight.
  fake_.reset(new ipmitest::FakeController(device, [this](const ipmisim::Packet &req) {
    std::optional<Bytes> reply = sim_->Handle(req.netfn, req.cmd, Bytes(req.data, req.data + req.data_len));
    if (hook_) hook_(req, reply);
    ipmitest::Reaction r;
    if (reply) r.messages.push_back(ipmitest::Response(req, *reply));
    return r;
  }));
  ok_ = true;
}

std::vector<StoreRequest> StoreController::Requests() const {
  std::vector<StoreRequest> out;
  for (const ipmisim::Packet &p : fake_->Requests()) {
    if (p.netfn == kNetfnStore && p.cmd == kCmdStore) out.push_back(Decode(p));
  }
  return out;
}

std::vector<StoreRequest> StoreController::Requests(uint8_t op) const {
  std::vector<StoreRequest> out;
  for (const StoreRequest &r : Requests()) {
    if (r.op == op) out.push_back(r);
  }
  return out;
}

std::optional<Bytes> StoreController::File(const std::string &name) {
  const Bytes *f = sim_->file(name);
  if (f == nullptr) return std::nullopt;
  return *f;
}

Bytes Pattern(size_t n, uint8_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i + seed) % 251 + 1);
  return b;
}

Bytes ReadAll(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace fwtest
