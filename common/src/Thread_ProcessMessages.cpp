#include "common/Thread_ProcessMessages.h"

#include "platform/Messages.h"
#include "platform/Thread.h"

namespace qor {
namespace {

enum class Pumped { Nothing, Message, Quit };

Pumped PumpOneMessage() {
    platform::MSG msg;
    if (!platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE))
        return Pumped::Nothing;
    if (msg.message == platform::WM_QUIT) {
        // Put it back so the loop that owns the thread sees it too.
        platform::PostQuitMessage(static_cast<int>(msg.wParam));
        return Pumped::Quit;
    }
    platform::TranslateMessage(&msg);
    platform::DispatchMessage(&msg);
    return Pumped::Message;
}

} // namespace

bool PumpOne() { return PumpOneMessage() == Pumped::Message; }

std::uint32_t PumpAll(std::uint32_t max) {
    std::uint32_t count = 0;
    while ((max == 0 || count < max) && PumpOne()) {
        if (++count % 10 == 0)
            platform::Sleep(0);
    }
    return count;
}

bool PumpThread(std::uint32_t max, const std::atomic<bool>& noPump, int priority, bool* quit) {
    std::uint32_t count = 0;
    while (!noPump.load()) {
        switch (PumpOneMessage()) {
        case Pumped::Nothing: return true;
        case Pumped::Quit:
            if (quit)
                *quit = true;
            return true;
        case Pumped::Message: break;
        }
        ++count;
        if (priority > platform::THREAD_PRIORITY_NORMAL && count % 21 == 0)
            platform::Sleep(1);
        if (max >= 1 && count >= max)
            return false;
    }
    return true;
}

} // namespace qor
