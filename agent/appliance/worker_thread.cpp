#include "agent/appliance/worker_thread.h"

#include <system_error>

#include "platform/errors.h"

uint32_t CWorkerThread::Start(std::function<void()> body) {
    Join();
    if (uint32_t error = done_.Create(bx::sync::ResetMode::Manual)) return error;
    try {
        thread_ = std::thread([this, body = std::move(body)]() noexcept {
            try {
                body();
            } catch (...) {
                // The bodies catch and log their own failures; nothing may
                // leave the thread's entry.
            }
            done_.Set();
        });
    } catch (const std::system_error& e) {
        done_.Close();
        return e.code().value() != 0 ? static_cast<uint32_t>(e.code().value()) : bx::err::kNotEnoughMemory;
    } catch (...) {
        done_.Close();
        return bx::err::kNotEnoughMemory;
    }
    return 0;
}

bool CWorkerThread::WaitFor(uint32_t milliseconds) {
    if (!thread_.joinable()) return true;
    if (done_.Wait(milliseconds) != bx::sync::kWaitObject0) return false;
    thread_.join();
    done_.Close();
    return true;
}

void CWorkerThread::Join() {
    if (thread_.joinable()) thread_.join();
    done_.Close();
}
