#include "Interrupt.h"

#include <unistd.h>

#include <cstring>

#include "platform/runtime/Runtime.h"

namespace aztable {
namespace {

std::atomic<int> g_signals{0};
const char* g_notice = "";
void (*g_onStop)() = nullptr;
// Taken before the handlers are installed: a signal handler must not be the first to reach the
// default runtime (its creation takes a lock).
std::atomic<platform::StopToken*> g_stopToken{nullptr};

void onSignal(int) {
    if (g_signals.fetch_add(1) > 0) _exit(130);
    ssize_t ignored = ::write(2, g_notice, std::strlen(g_notice));
    (void)ignored;
    if (platform::StopToken* token = g_stopToken.load()) token->requestStop();
    if (g_onStop) g_onStop();
}

}  // namespace

InterruptGuard::InterruptGuard(const char* notice, void (*onStop)()) {
    g_stopToken.store(&platform::defaultRuntime().stopToken());
    g_notice = notice;
    g_onStop = onStop;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &m_oldInt);
    sigaction(SIGTERM, &action, &m_oldTerm);
}

InterruptGuard::~InterruptGuard() {
    sigaction(SIGINT, &m_oldInt, nullptr);
    sigaction(SIGTERM, &m_oldTerm, nullptr);
    g_onStop = nullptr;
}

bool InterruptGuard::stopRequested() { return g_signals.load() > 0; }

}  // namespace aztable
