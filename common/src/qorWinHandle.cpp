#include "common/qorWinHandle.h"

#include "platform/Debug.h"
#include "platform/Module.h"
#include "platform/Thread.h"

#include <mutex>
#include <string>
#include <unordered_map>

namespace qor {
namespace {

// Messages in flight into TWindowHandle objects. A thread other than the owner
// that detaches an object from its window waits here until the owner has left
// the object, so the object is never freed under a running handler.
//
// The wait is a platform wait that runs the sent messages of the waiting
// thread: the handler it waits for may itself send a message to that thread
// (to a window of its own) and would otherwise never return. Each waiter has an
// event that the handler's end sets.
std::mutex dispatchMutex;
std::unordered_map<const TWindowHandle*, int> dispatching;
std::unordered_multimap<const TWindowHandle*, platform::HANDLE> idleWaiters;

// Waits, lock held on dispatchMutex, until no handler runs for object.
void WaitUntilIdle(std::unique_lock<std::mutex>& lock, const TWindowHandle* object) {
    if (dispatching.count(object) == 0)
        return;
    platform::Event idle(true, false);
    const auto entry = idleWaiters.emplace(object, idle.Handle());
    while (dispatching.count(object) != 0) {
        lock.unlock();
        const platform::HANDLE handle = idle.Handle();
        // Wake mask 0: sent messages run inside the wait, which goes on.
        const platform::DWORD r = platform::MsgWaitForMultipleObjects(1, &handle, false, platform::INFINITE, 0);
        lock.lock();
        if (r == platform::WAIT_FAILED) {
            platform::OutputDebugString("Waiting for a window message handler failed: error " +
                                        std::to_string(platform::GetLastError()));
            break;
        }
        idle.Reset();
    }
    idleWaiters.erase(entry);
}

// Lock held on dispatchMutex: a handler for object has ended.
void LeaveHandler(const TWindowHandle* object) {
    auto it = dispatching.find(object);
    if (it == dispatching.end() || --it->second != 0)
        return;
    dispatching.erase(it);
    const auto [first, last] = idleWaiters.equal_range(object);
    for (auto w = first; w != last; ++w)
        platform::SetEvent(w->second);
}

std::mutex classMutex;
bool classRegisteredHere = false;

// The class belongs to the module this copy of the code lives in (the plug-in
// library, or the host), so each module's windows run its own procedure and a
// module never leaves windows behind that point into code already unloaded.
platform::HMODULE ThisModule() {
    static const platform::HMODULE module = platform::ModuleOfAddress(reinterpret_cast<const void*>(&ThisModule));
    return module;
}

// Takes the class away again when this library is unloaded.
struct ClassUnregistrar {
    ~ClassUnregistrar() { UnregisterWindowClass(); }
} unregistrar;

} // namespace

void UnregisterWindowClass() {
    std::scoped_lock lock(classMutex);
    if (classRegisteredHere && platform::UnregisterClass(TWindowHandle::ClassName, ThisModule()))
        classRegisteredHere = false;
}

TWindowHandle::~TWindowHandle() { DestroyHandle(); }

platform::HWND TWindowHandle::GetHandle() {
    if (const platform::HWND h = handle_.load())
        return h;
    {
        std::scoped_lock lock(classMutex);
        platform::WNDCLASS existing{};
        if (!platform::GetClassInfo(ClassName, &existing, ThisModule())) {
            const platform::WNDCLASS wc{ClassName, &TWindowHandle::StaticWndProc, sizeof(std::intptr_t),
                                        ThisModule()};
            if (platform::RegisterClass(wc))
                classRegisteredHere = true;
            else if (platform::GetLastError() != platform::ERROR_CLASS_ALREADY_EXISTS)
                throw EWindowHandle("Window class registration failed: Windows error #" +
                                    std::to_string(platform::GetLastError()));
        }
    }
    const platform::HWND h = platform::CreateHiddenWindow(ClassName, {}, ThisModule());
    if (!h)
        throw EWindowHandle("Window handle allocation failed: Windows error #" +
                            std::to_string(platform::GetLastError()));
    platform::SetWindowLongPtr(h, 0, reinterpret_cast<std::intptr_t>(this));
    threadId_ = platform::GetCurrentThreadId();
    handle_ = h;
    return h;
}

void TWindowHandle::DestroyHandle() {
    const platform::HWND h = handle_.exchange(0);
    const platform::DWORD owner = threadId_.exchange(0);
    if (!h)
        return;
    const bool onOwner = owner == platform::GetCurrentThreadId();
    {
        std::unique_lock lock(dispatchMutex);
        platform::SetWindowLongPtr(h, 0, 0);
        if (!onOwner)
            WaitUntilIdle(lock, this);
    }
    if (onOwner) {
        platform::DestroyWindow(h);
        return;
    }
    platform::LRESULT result = 0;
    if (platform::IsWindow(h) && !platform::SendMessageTimeout(h, WM_QOR_DESTROY_HANDLE, 0, 0, platform::SMTO_NORMAL,
                                                               CrossThreadWindowTimeoutMs, &result))
        platform::OutputDebugString("A hidden window could not be destroyed by its thread: error " +
                                    std::to_string(platform::GetLastError()));
}

platform::LRESULT TWindowHandle::StaticWndProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                               platform::LPARAM lParam) {
    if (msg == WM_QOR_DESTROY_HANDLE) {
        platform::DestroyWindow(hwnd);
        return 1;
    }
    TWindowHandle* object;
    {
        std::scoped_lock lock(dispatchMutex);
        object = reinterpret_cast<TWindowHandle*>(platform::GetWindowLongPtr(hwnd, 0));
        if (object)
            ++dispatching[object];
    }
    if (!object)
        return platform::DefWindowProc(hwnd, msg, wParam, lParam);
    {
        std::scoped_lock lock(dispatchMutex);
        if (msg == platform::WM_DESTROY) {
            // Destroyed from outside DestroyHandle (WM_CLOSE): forget the window.
            platform::HWND mine = hwnd;
            if (object->handle_.compare_exchange_strong(mine, 0))
                object->threadId_ = 0;
        }
    }
    platform::LRESULT result = 0;
    try {
        result = object->WndProc(hwnd, msg, wParam, lParam);
    } catch (const std::exception& e) {
        platform::OutputDebugString(std::string("Exception in a window message handler: ") + e.what());
    } catch (...) {
        platform::OutputDebugString("Exception in a window message handler");
    }
    {
        std::scoped_lock lock(dispatchMutex);
        LeaveHandler(object);
    }
    return result;
}

platform::LRESULT TWindowHandle::WndProc(platform::HWND hwnd, platform::UINT msg, platform::WPARAM wParam,
                                         platform::LPARAM lParam) {
    bool handled = false;
    platform::LRESULT result = 0;
    if (OnMessage)
        result = OnMessage(msg, wParam, handled, lParam);
    // The handler may have freed this object: only locals from here on.
    if (!handled)
        result = platform::DefWindowProc(hwnd, msg, wParam, lParam);
    return result;
}

bool TWindowHandle::ProcessMessage(bool peek) {
    if (quitReceived_.load())
        return false;
    platform::MSG msg;
    if (peek) {
        if (!platform::PeekMessage(&msg, 0, 0, 0, platform::PM_REMOVE))
            return false;
    } else if (platform::GetMessage(&msg, 0, 0, 0) == -1) {
        return false;
    }
    if (msg.message == platform::WM_QUIT) {
        quitReceived_ = true;
        return false;
    }
    platform::TranslateMessage(&msg);
    platform::DispatchMessage(&msg);
    return true;
}

void TWindowHandle::ProcessMessages(bool peek) {
    while (ProcessMessage(peek))
        platform::Sleep(0);
}

} // namespace qor
