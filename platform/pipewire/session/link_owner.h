// The links we made, from an application's output ports into our taps. Each
// is kept, with its record of losses, while the reconciler wants it; one the
// daemon refuses or removes (a patchbay, pw-link -d, the session manager) is
// made again when its retry is due.
//
// Threads: everything here runs on the session's loop thread, lock held; the
// proxy callbacks too.
#pragma once

#include "reconciler.h"
#include "session_events.h"

#include <pipewire/pipewire.h>

#include <cstdint>
#include <map>

// Milliseconds of the monotonic clock, the time base of link retries.
std::int64_t SteadyNowMs();

class LinkOwner {
public:
    explicit LinkOwner(SessionEvents& session) : session_(session) {}
    LinkOwner(const LinkOwner&) = delete;
    LinkOwner& operator=(const LinkOwner&) = delete;
    ~LinkOwner() { Clear(); }

    void SetCore(pw_core* core) { core_ = core; }

    // Carries a plan out; now in ms of the steady clock.
    void Apply(const LinkPlan& plan, std::int64_t now);
    void Clear();

    const std::map<LinkKey, RetryRecord>& Records() const { return records_; }

private:
    struct Link;
    static void OnLinkLost(void* data);
    static void OnLinkError(void* data, int, int, const char*);
    void Make(const LinkKey& key, RetryRecord& record, std::int64_t now);
    static void DestroyProxy(Link* link);
    static const pw_proxy_events kEvents;

    SessionEvents& session_;
    pw_core* core_ = nullptr;
    std::map<LinkKey, RetryRecord> records_;
    std::map<LinkKey, Link*> links_;  // the proxies of those not lost
};
