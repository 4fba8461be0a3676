// logind over D-Bus with sd-bus.
#include "platform/linux/logind.h"

#include <poll.h>
#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/errors.h"

namespace bx::logind {
namespace {

constexpr char kService[] = "org.freedesktop.login1";
constexpr char kManagerPath[] = "/org/freedesktop/login1";
constexpr char kManager[] = "org.freedesktop.login1.Manager";
constexpr char kSession[] = "org.freedesktop.login1.Session";

std::string BusError(const sd_bus_error* error, int result) {
    if (error && sd_bus_error_is_set(error))
        return std::string(error->name) + ": " + (error->message ? error->message : "");
    return std::strerror(-result);
}

// The audit session id and uid of a session object.
bool ReadSession(sd_bus* bus, Session& session, std::string& why) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    uint32_t audit = 0;
    int r =
        sd_bus_get_property_trivial(bus, kService, session.objectPath.c_str(), kSession, "Audit", &error, 'u', &audit);
    if (r < 0) {
        why = "the Audit property of " + session.objectPath + " cannot be read: " + BusError(&error, r);
        sd_bus_error_free(&error);
        return false;
    }
    session.auditId = audit;
    sd_bus_message* reply = nullptr;
    r = sd_bus_get_property(bus, kService, session.objectPath.c_str(), kSession, "User", &error, &reply, "(uo)");
    if (r >= 0) {
        uint32_t uid = 0;
        const char* path = nullptr;
        if (sd_bus_message_read(reply, "(uo)", &uid, &path) >= 0) session.uid = static_cast<uid_t>(uid);
        sd_bus_message_unref(reply);
    }
    sd_bus_error_free(&error);
    return true;
}

}  // namespace

struct Client::Impl {
    sd_bus* bus = nullptr;
    sd_bus_slot* newSlot = nullptr;
    sd_bus_slot* removedSlot = nullptr;
    std::vector<Change> pending;

    static int OnSignal(sd_bus_message* message, void* userdata, sd_bus_error* /*error*/) {
        auto* impl = static_cast<Impl*>(userdata);
        const char* id = nullptr;
        const char* path = nullptr;
        if (sd_bus_message_read(message, "so", &id, &path) < 0) return 0;
        Change change;
        change.removed = std::strcmp(sd_bus_message_get_member(message), "SessionRemoved") == 0;
        change.session.id = id;
        change.session.objectPath = path;
        impl->pending.push_back(change);
        return 0;
    }

    void Close() {
        newSlot = sd_bus_slot_unref(newSlot);
        removedSlot = sd_bus_slot_unref(removedSlot);
        if (bus) bus = sd_bus_flush_close_unref(bus);
        pending.clear();
    }
};

Client::Client() : impl_(new Impl) {}
Client::~Client() { Close(); }

bool Client::IsOpen() const { return impl_->bus != nullptr; }
void Client::Close() { impl_->Close(); }

uint32_t Client::Open(std::vector<Session>& sessions, std::string& error) {
    Close();
    sessions.clear();
    error.clear();
    sd_bus* bus = nullptr;
    int r = sd_bus_open_system(&bus);
    if (r < 0) {
        error = std::string("no system bus: ") + std::strerror(-r);
        return err::kFileNotFound;
    }
    impl_->bus = bus;
    for (const char* member : {"SessionNew", "SessionRemoved"}) {
        sd_bus_slot** slot = member[7] == 'N' ? &impl_->newSlot : &impl_->removedSlot;
        r = sd_bus_match_signal(bus, slot, kService, kManagerPath, kManager, member, &Impl::OnSignal, impl_.get());
        if (r < 0) {
            error = std::string("cannot subscribe to logind's ") + member + ": " + std::strerror(-r);
            Close();
            return err::kGenFailure;
        }
    }
    sd_bus_error busError = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    r = sd_bus_call_method(bus, kService, kManagerPath, kManager, "ListSessions", &busError, &reply, "");
    if (r < 0) {
        error = "logind does not answer on the system bus: " + BusError(&busError, r);
        sd_bus_error_free(&busError);
        Close();
        return err::kFileNotFound;
    }
    sd_bus_error_free(&busError);
    r = sd_bus_message_enter_container(reply, 'a', "(susso)");
    std::vector<Session> listed;
    while (r >= 0) {
        const char *id = nullptr, *name = nullptr, *seat = nullptr, *path = nullptr;
        uint32_t uid = 0;
        r = sd_bus_message_read(reply, "(susso)", &id, &uid, &name, &seat, &path);
        if (r <= 0) break;
        Session session;
        session.id = id;
        session.uid = static_cast<uid_t>(uid);
        session.objectPath = path;
        listed.push_back(session);
    }
    sd_bus_message_unref(reply);
    if (r < 0) {
        error = std::string("logind's session list cannot be read: ") + std::strerror(-r);
        Close();
        return err::kInvalidData;
    }
    // A session that ends meanwhile is left out: its removal follows.
    for (Session& session : listed) {
        std::string why;
        if (ReadSession(bus, session, why)) sessions.push_back(session);
    }
    return 0;
}

int Client::Fd() const { return impl_->bus ? sd_bus_get_fd(impl_->bus) : -1; }

short Client::Events() const {
    const int events = impl_->bus ? sd_bus_get_events(impl_->bus) : 0;
    return static_cast<short>(events < 0 ? 0 : events);
}

int Client::TimeoutMs() const {
    uint64_t usec = 0;
    if (!impl_->bus || sd_bus_get_timeout(impl_->bus, &usec) < 0 || usec == UINT64_MAX) return -1;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t nowUsec = static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
    return usec <= nowUsec ? 0 : static_cast<int>((usec - nowUsec + 999) / 1000);
}

uint32_t Client::Process(const std::function<void(const Change&)>& onChange, std::string& error) {
    error.clear();
    if (!impl_->bus) {
        error = "not connected to the system bus";
        return err::kInvalidHandle;
    }
    for (;;) {
        const int r = sd_bus_process(impl_->bus, nullptr);
        if (r < 0) {
            error = std::string("the system bus connection failed: ") + std::strerror(-r);
            Close();
            return err::kGenFailure;
        }
        // Changes are handed on outside sd-bus's dispatch, one at a time;
        // a new session's audit id is asked for now (a session that ended
        // meanwhile says so in the change's error).
        std::vector<Change> changes;
        changes.swap(impl_->pending);
        for (Change& change : changes) {
            if (!change.removed && !ReadSession(impl_->bus, change.session, change.error)) change.session.auditId = 0;
            onChange(change);
        }
        if (r == 0 && impl_->pending.empty()) return 0;
    }
}

}  // namespace bx::logind
