#include "Interrupt.h"

#include <unistd.h>

#include <cstring>

#include "platform/util/StopToken.h"

namespace aztable {
namespace {

std::atomic<int> g_signals{0};
const char* g_notice = "";
void (*g_onStop)() = nullptr;

void onSignal(int) {
    if (g_signals.fetch_add(1) > 0) _exit(130);
    ssize_t ignored = ::write(2, g_notice, std::strlen(g_notice));
    (void)ignored;
    platform::stopToken().requestStop();
    if (g_onStop) g_onStop();
}

}  // namespace

InterruptGuard::InterruptGuard(const char* notice, void (*onStop)()) {
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
