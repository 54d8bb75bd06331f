#include "agent/requests.h"

#include <algorithm>

#include "agent/log.h"

namespace vardek::agent {

namespace {

Bytes one_byte_frame(uint8_t type) { return frame(Bytes{type}); }

Bytes failure() { return one_byte_frame(AGENT_FAILURE); }
Bytes success() { return one_byte_frame(AGENT_SUCCESS); }

// Wipes its bytes on every way out of a handler.
struct Secret {
  Bytes b;
  Secret() = default;
  Secret(const Secret &) = delete;
  Secret &operator=(const Secret &) = delete;
  ~Secret() { wipe(b); }
  std::string_view view() const { return {reinterpret_cast<const char *>(b.data()), b.size()}; }
};

}  // namespace

Requests::Verdict Requests::handle(uint64_t conn, const uint8_t *msg, size_t len, Bytes &reply) {
  Reader r(msg, len);
  uint8_t type = 0;
  if (!r.u8(type)) return Verdict::malformed;
  switch (type) {
    case AGENTC_REQUEST_IDENTITIES:
      if (r.left() != 0) return Verdict::malformed;
      reply = identities_answer();
      return Verdict::answered;

    case AGENTC_SIGN_REQUEST: {
      Job job = new_job(conn, Kind::sign);
      Bytes blob, data;
      uint32_t flags = 0;
      if (!r.string(blob) || !r.string(data) || !r.u32(flags) || r.left() != 0)
        return Verdict::malformed;
      bool known = std::any_of(ids_.begin(), ids_.end(),
                               [&](const Identity &id) { return id.blob == blob; });
      std::optional<KeyShape> shape = key_shape(blob);
      std::optional<SignPlan> plan;
      if (known && shape && !lock_.locked()) plan = plan_sign(*shape, data, flags);
      if (!plan) {
        log_msg(LOG_DEBUG, "sign request refused: %s",
                lock_.locked() ? "the agent is locked"
                : known        ? "cannot sign"
                               : "unknown key");
        reply = failure();
        return Verdict::answered;
      }
      job.key = *shape;
      job.plan = std::move(*plan);
      job.frame = sign_request(blob, job.plan.to_send, 0);
      return queue(std::move(job));
    }

    case AGENTC_ADD_SMARTCARD_KEY:
    case AGENTC_REMOVE_SMARTCARD_KEY: {
      Job job = new_job(conn, type == AGENTC_ADD_SMARTCARD_KEY ? Kind::add : Kind::remove);
      Secret pin;
      if (!r.string(job.provider) || !r.string(pin.b) || r.left() != 0) return Verdict::malformed;
      if (lock_.locked()) {
        reply = failure();
        return Verdict::answered;
      }
      // One allocation holds the PIN; it is wiped after sending.
      job.frame = job.kind == Kind::add ? add_request(job.provider, pin.view())
                                        : remove_request(job.provider, pin.view());
      return queue(std::move(job));
    }

    case AGENTC_REMOVE_ALL_IDENTITIES: {
      if (r.left() != 0) return Verdict::malformed;
      Job job = new_job(conn, Kind::remove_all);
      for (const Identity &id : ids_)
        if (std::find(job.providers.begin(), job.providers.end(), id.provider) ==
            job.providers.end())
          job.providers.push_back(id.provider);
      if (lock_.locked()) {
        reply = failure();
        return Verdict::answered;
      }
      if (job.providers.empty()) {
        reply = success();
        return Verdict::answered;
      }
      return queue(std::move(job));
    }

    case AGENTC_LOCK:
    case AGENTC_UNLOCK: {
      Secret password;
      if (!r.string(password.b) || r.left() != 0) return Verdict::malformed;
      bool ok = type == AGENTC_LOCK ? lock_.lock(password.b) : lock_.unlock(password.b);
      log_msg(LOG_INFO, "%s %s", type == AGENTC_LOCK ? "lock" : "unlock", ok ? "done" : "refused");
      reply = ok ? success() : failure();
      return Verdict::answered;
    }

    default:
      log_msg(LOG_DEBUG, "request type %u not served", type);
      reply = failure();
      return Verdict::answered;
  }
}

Requests::Job Requests::new_job(uint64_t conn, Kind kind) {
  Job job;
  job.conn = conn;
  job.kind = kind;
  return job;
}

Requests::Verdict Requests::queue(Job job) {
  jobs_.push_back(std::move(job));
  return Verdict::queued;
}

std::optional<Bytes> Requests::next_for_vardek() {
  if (in_flight_ || jobs_.empty()) return std::nullopt;
  Job &job = jobs_.front();
  in_flight_ = true;
  if (job.kind == Kind::remove_all) return remove_request(job.providers.front());
  return std::move(job.frame);
}

std::optional<Delivery> Requests::on_reply(const Reply &r) {
  if (!in_flight_ || jobs_.empty()) return std::nullopt;
  in_flight_ = false;
  Job &job = jobs_.front();
  Delivery d{.conn = job.conn, .frame = failure()};
  switch (job.kind) {
    case Kind::add:
      if (auto keys = parse_identities(r)) {
        drop_provider(job.provider);
        for (auto &k : *keys)
          ids_.push_back({.provider = job.provider, .blob = std::move(k.blob), .label = k.label});
        log_msg(LOG_INFO, "added %s: %zu keys", job.provider.c_str(), keys->size());
        d.frame = success();
      } else {
        log_msg(LOG_INFO, "adding %s failed", job.provider.c_str());
      }
      break;
    case Kind::remove:
      if (r.type == AGENT_SUCCESS) {
        drop_provider(job.provider);
        log_msg(LOG_INFO, "removed %s", job.provider.c_str());
        d.frame = success();
      }
      break;
    case Kind::sign:
      if (auto raw = parse_signature(r)) {
        if (auto sig = ssh_signature(job.key, job.plan, *raw)) {
          Bytes body{AGENT_SIGN_RESPONSE};
          put_string(body, *sig);
          d.frame = frame(body);
        } else {
          log_msg(LOG_ERR, "vardek's %s signature does not fit the key", job.key.type.c_str());
        }
      }
      break;
    case Kind::remove_all:
      drop_provider(job.providers.front());
      job.providers.erase(job.providers.begin());
      if (!job.providers.empty()) return std::nullopt;
      d.frame = success();
      break;
  }
  wipe(job.frame);
  jobs_.pop_front();
  return d;
}

std::optional<Delivery> Requests::on_vardek_lost() {
  if (!ids_.empty()) {
    std::vector<std::string> lost;
    for (const Identity &id : ids_)
      if (std::find(lost.begin(), lost.end(), id.provider) == lost.end())
        lost.push_back(id.provider);
    for (const std::string &p : lost)
      log_msg(LOG_ERR, "provider %s is gone with vardek; add it again", p.c_str());
    ids_.clear();
  }
  if (!in_flight_ || jobs_.empty()) return std::nullopt;
  in_flight_ = false;
  Delivery d{.conn = jobs_.front().conn, .frame = failure()};
  wipe(jobs_.front().frame);
  jobs_.pop_front();
  return d;
}

Bytes Requests::identities_answer() const {
  Bytes body{AGENT_IDENTITIES_ANSWER};
  if (lock_.locked()) {
    put_u32(body, 0);
    return frame(body);
  }
  put_u32(body, static_cast<uint32_t>(ids_.size()));
  for (const Identity &id : ids_) {
    put_string(body, id.blob);
    put_string(body, id.label);
  }
  return frame(body);
}

void Requests::drop_provider(const std::string &provider) {
  std::erase_if(ids_, [&](const Identity &id) { return id.provider == provider; });
}

}  // namespace vardek::agent
