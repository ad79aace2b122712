#include "link_owner.h"

#include <ctime>
#include <new>

namespace {

std::int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

struct LinkOwner::Link {
    LinkOwner* owner = nullptr;
    LinkKey key{};
    pw_proxy* proxy = nullptr;
    spa_hook listener{};
};

// The proxy is only marked here and destroyed on the next pass: it is not
// ours to free inside its own event.
void LinkOwner::OnLinkLost(void* data) {
    auto* link = static_cast<Link*>(data);
    LinkOwner& self = *link->owner;
    Guarded(self.session_, [&] {
        const auto record = self.records_.find(link->key);
        if (record != self.records_.end()) NoteLost(record->second, NowMs());
        self.session_.GraphChanged();
    });
}

void LinkOwner::OnLinkError(void* data, int, int, const char*) { OnLinkLost(data); }

void LinkOwner::DestroyProxy(Link* link) {
    spa_hook_remove(&link->listener);
    pw_proxy_destroy(link->proxy);
    delete link;
}

void LinkOwner::Make(const LinkKey& key, RetryRecord& record, std::int64_t now) {
    // Counted as made even when it cannot be asked for: it is retried later
    // like one the daemon refused.
    NoteMade(record, now);
    auto* link = new (std::nothrow) Link;
    // Passive: our link alone never sets the application's graph running,
    // so its own route to the sink decides when it plays.
    pw_properties* props =
        link != nullptr ? pw_properties_new(PW_KEY_OBJECT_LINGER, "false", PW_KEY_LINK_PASSIVE,
                                            "true", nullptr)
                        : nullptr;
    if (props != nullptr) {
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", key.outputNode);
        pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", key.outputPort);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", key.inputNode);
        pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", key.inputPort);
        link->proxy = static_cast<pw_proxy*>(pw_core_create_object(
            core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
        pw_properties_free(props);
    }
    if (link == nullptr || link->proxy == nullptr) {
        delete link;
        NoteLost(record, now);
        return;
    }
    link->owner = this;
    link->key = key;
    pw_proxy_add_listener(link->proxy, &link->listener, &kEvents, link);
    links_[key] = link;
}

void LinkOwner::Apply(const LinkPlan& plan, std::int64_t now) {
    for (const LinkKey& key : plan.drop) {
        if (auto link = links_.find(key); link != links_.end()) {
            DestroyProxy(link->second);
            links_.erase(link);
        }
        records_.erase(key);
    }
    // Lost links keep their record, not their proxy.
    for (auto it = links_.begin(); it != links_.end();) {
        const auto record = records_.find(it->first);
        if (record == records_.end() || !record->second.live) {
            DestroyProxy(it->second);
            it = links_.erase(it);
        } else {
            ++it;
        }
    }
    for (const LinkKey& key : plan.make) Make(key, records_[key], now);
}

void LinkOwner::Clear() {
    for (auto& [key, link] : links_) DestroyProxy(link);
    links_.clear();
    records_.clear();
}

const pw_proxy_events LinkOwner::kEvents = {
    .version = PW_VERSION_PROXY_EVENTS,
    .destroy = nullptr,
    .bound = nullptr,
    .removed = LinkOwner::OnLinkLost,
    .done = nullptr,
    .error = LinkOwner::OnLinkError,
};

std::int64_t SteadyNowMs() { return NowMs(); }
