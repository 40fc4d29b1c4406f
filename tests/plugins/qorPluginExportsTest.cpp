// The exports called in-process, with a test module as the registered class.
#include "PluginTestSupport.h"

#include "platform/Clock.h"
#include "platform/Messages.h"
#include "platform/Resources.h"
#include "platform/Sync.h"
#include "plugins/qorPluginExports.h"
#include "plugins/qorPluginInstances.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <thread>
#include <functional>
#include <vector>

namespace {

using namespace qor;
using plugintest::TestRecord;

// How each test wants the instances it creates to behave.
std::function<void(TqorPlugin&)> configure;
std::atomic<int> destroyed{0};

class TConfiguredModule : public TqorPlugin {
public:
    TConfiguredModule(TPluginCallRecIntf& rec, platform::HMODULE dllHandle) : TqorPlugin(rec, dllHandle) {
        if (configure)
            configure(*this);
    }
    ~TConfiguredModule() override { ++destroyed; }
};

class ExportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        PluginLibraryStart();
        RegisterPluginClass<TConfiguredModule>();
    }
    void TearDown() override {
        configure = nullptr;
        PluginLibraryStop();
    }

    // Creates an instance; its handle is in rec.Rec.Instance.
    void Create(TestRecord& r) {
        r.Rec.Instance = 0;
        ASSERT_EQ(CreatePluginInstance(&r.Rec), 0);
        ASSERT_NE(+r.Rec.Instance, 0u);
    }
    std::shared_ptr<TqorPlugin> Instance(const TestRecord& r) { return PluginInstances()->Find(r.Rec.Instance); }
};

TEST_F(ExportsTest, AnInstanceFreedWhileACommandRunsLivesUntilTheCommandEnds) {
    std::promise<void> entered, release;
    configure = [&](TqorPlugin& m) {
        m.OnLoad = [&](TPluginCallRecIntf&, std::int32_t&) {
            entered.set_value();
            release.get_future().wait();
            m.LogTitle = "still here"; // would touch freed memory if the free had not waited
        };
    };
    TestRecord r;
    Create(r);
    r.Params.Add("COMMAND", "LOAD");
    std::int32_t result = -9;
    std::thread host([&] { result = ExecutePluginCommand(&r.Rec); });
    entered.get_future().wait();
    const int before = destroyed;
    TPluginCallRec freeRec = r.Rec;
    EXPECT_EQ(FreePluginInstance(&freeRec), 0);
    EXPECT_EQ(Instance(r), nullptr);
    EXPECT_EQ(destroyed, before);
    release.set_value();
    host.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(destroyed, before + 1);
}

TEST_F(ExportsTest, NoInstanceAfterTheLibraryStopped) {
    PluginLibraryStop();
    TestRecord r;
    EXPECT_EQ(CreatePluginInstance(&r.Rec), -1);
    EXPECT_EQ(+r.Rec.Instance, 0u);
}

TEST_F(ExportsTest, CommandsNeedACommandAndListSlotsThatHoldLists) {
    TestRecord r;
    Create(r);
    r.Params.Add("RESULT", Variant());
    EXPECT_EQ(ExecutePluginCommand(&r.Rec), -1); // no COMMAND
    r.Params.Add("COMMAND", "ITEMS");
    EXPECT_EQ(ExecutePluginCommand(&r.Rec), 0);
    std::uint32_t notAList[4] = {};
    r.Rec.Value1.Type = 8;
    r.Rec.Value1.Data = reinterpret_cast<std::uintptr_t>(notAList);
    EXPECT_EQ(ExecutePluginCommand(&r.Rec), -1);
    r.Rec.Value1 = {};
    // Every command applies TEMPORARY-LOAD.
    r.Params.Add("TEMPORARY-LOAD", true);
    EXPECT_EQ(ExecutePluginCommand(&r.Rec), 0);
    EXPECT_TRUE(Instance(r)->IsTemporaryLoad);
}

TEST_F(ExportsTest, OptionsDialogBlocksFromTheHandlersExtraText) {
    configure = [](TqorPlugin& m) {
        m.OnGetOptionsDialog = [](TPluginCallRecIntf&, std::string&, std::string& extra) { extra = "ABC"; };
    };
    TestRecord r;
    Create(r);
    std::vector<std::uint8_t> buffer(26, 0xEE);
    r.Rec.Value1.Size = 26;
    r.Rec.Value1.Data = reinterpret_cast<std::uintptr_t>(buffer.data());
    buffer[0] = 0; // no form name
    GetOptionsDialog(&r.Rec);
    EXPECT_EQ(+r.Rec.Value2.Type, 5);
    EXPECT_EQ(+r.Rec.Value2.Data, 3u);
    EXPECT_EQ(+r.Rec.Value2.Size, 27u);
    EXPECT_EQ(buffer[1], 0xEE); // untouched

    buffer.assign(32, 0);
    r.Rec.Value1.Size = 32;
    r.Rec.Value1.Data = reinterpret_cast<std::uintptr_t>(buffer.data());
    GetOptionsDialog(&r.Rec);
    EXPECT_EQ(+r.Rec.Value2.Type, 2);
    EXPECT_EQ(+r.Rec.Value2.Size, 0u);
    EXPECT_EQ(+r.Rec.Value2.Data, 27u);
    const std::vector<std::uint8_t> expected = {
        0x18, 0, 0, 0, 0x00, 0, 0, 0, // block 1: at 24, empty
        0x18, 0, 0, 0, 0x03, 0, 0, 0, // block 2: at 24, 3 bytes
        0x1B, 0, 0, 0, 0x00, 0, 0, 0, // block 3: at 27, empty
        'A',  'B', 'C'};
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 27), expected);
}

TEST_F(ExportsTest, OptionsDialogBlocksFromTheLibraryResources) {
    static const std::uint8_t formName[] = {'t', 'f', 'r', 'm', 'o', 'p', 't', 'i', 'o', 'n', '\r', '\n'};
    static const std::uint8_t form[] = {0x01, 0x02};
    static const std::uint8_t formData[] = {0x09};
    static const platform::ResourceEntry entries[] = {
        {"FORM_NAME", formName, sizeof formName}, {"TFRMOPTION", form, sizeof form}, {"FORM_DATA", formData, 1}};
    const platform::ModuleResources resources{"1.2.3.4", entries};
    platform::RegisterModuleResources(PluginLibraryModule(), &resources);

    TestRecord r;
    Create(r);
    std::vector<std::uint8_t> buffer(64, 0);
    r.Rec.Value1.Size = 64;
    r.Rec.Value1.Data = reinterpret_cast<std::uintptr_t>(buffer.data());
    GetOptionsDialog(&r.Rec);
    EXPECT_EQ(+r.Rec.Value2.Data, 27u);
    const std::vector<std::uint8_t> fromFormName = {0x18, 0, 0, 0, 0x02, 0, 0, 0, 0x1A, 0, 0, 0, 0x00, 0, 0, 0,
                                                    0x1A, 0, 0, 0, 0x01, 0, 0, 0, 0x01, 0x02, 0x09};
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + 27), fromFormName);

    // A name given by the host: that resource and its "_CODE" companion (missing here).
    buffer.assign(64, 0);
    std::memcpy(buffer.data(), "TfrmOption", 10);
    GetOptionsDialog(&r.Rec);
    EXPECT_EQ(+r.Rec.Value2.Data, 26u);
    EXPECT_EQ(buffer[4], 0x02);
    EXPECT_EQ(buffer[20], 0x00);

    // A name that names nothing: no dialog.
    std::memcpy(buffer.data(), "NOSUCHFORM\0", 11);
    GetOptionsDialog(&r.Rec);
    EXPECT_EQ(+r.Rec.Value2.Type, 5);
    EXPECT_EQ(+r.Rec.Value2.Data, 2u);
    platform::UnregisterModuleResources(PluginLibraryModule());
}

TEST_F(ExportsTest, AConfirmedDialogReloadsEveryInstanceSharingTheSettings) {
    int reloads = 0;
    bool openDuringDialog = false;
    configure = [&](TqorPlugin& m) {
        m.ModuleRegistryPath = "Software\\Same";
        m.OnLoadSettingsNow = [&] { ++reloads; };
        m.OnShowOptionsDialog = [&m, &openDuringDialog](TPluginCallRecIntf&, std::uint8_t& confirmed) {
            openDuringDialog = m.DialogOpen && m.DialogInput;
            confirmed = 1;
        };
    };
    TestRecord a, b;
    Create(a);
    Create(b);
    for (TestRecord* r : {&a, &b}) {
        r->Params.Add("COMMAND", "LOAD");
        ASSERT_EQ(ExecutePluginCommand(&r->Rec), 0);
    }
    TqorParamsList input;
    a.Rec.Value1.Type = 1;
    a.Rec.Value1.Data = reinterpret_cast<std::uintptr_t>(&input);
    a.Params.Add("INI-FILE", "dialog.ini");
    ShowOptionsDialog(&a.Rec);
    EXPECT_EQ(+a.Rec.Value2.Data, 1u);
    EXPECT_TRUE(openDuringDialog);
    EXPECT_EQ(reloads, 2);
    auto instance = Instance(a);
    EXPECT_FALSE(instance->DialogOpen);
    EXPECT_FALSE(instance->DialogInput);
    EXPECT_EQ(instance->INIFile, "dialog.ini");
}

TEST_F(ExportsTest, GlobalShutdownRunsTheRegisteredProceduresOnce) {
    int runs = 0;
    RegisterShutdownProc([&] { ++runs; });
    TPluginCallRec rec{};
    rec.RecSize = kPluginCallRecSize;
    rec.Value1.Type = 6;
    rec.Value1.Data = kGlobalShutdownCode;
    EXPECT_EQ(FreePluginInstance(&rec), 0);
    EXPECT_EQ(FreePluginInstance(&rec), 0);
    EXPECT_EQ(runs, 1);
}

// A thread that owns a window and hands data to an instance. SeePumping posts
// to the window: true once the thread dispatched it (so it is inside the wait,
// pumping), false when its call ended first.
class TDataCaller {
public:
    explicit TDataCaller(TPluginCallRec rec) {
        thread_ = std::thread([this, rec]() mutable {
            platform::RegisterClass({"DataCallerWindow", &Proc, 0});
            window_ = platform::CreateHiddenWindow("DataCallerWindow");
            windowMade_.Set();
            result_ = ProcessData(&rec);
            done_ = true;
            pumped.Set();
            platform::DestroyWindow(window_);
        });
        windowMade_.Wait();
    }
    ~TDataCaller() { Join(); }
    bool SeePumping() {
        pumped.Reset();
        dispatched = false;
        if (!platform::PostMessage(window_, platform::WM_USER, 0, 0))
            return false;
        pumped.Wait();
        return dispatched;
    }
    // With a clock: moves it on until the call has returned, since a wait on
    // the clock that began just after a move only ends with the next one.
    std::int32_t Join(platform::ManualClock* clock = nullptr) {
        for (; clock != nullptr && !done_; platform::Sleep(1))
            clock->Advance(1);
        if (thread_.joinable())
            thread_.join();
        return result_;
    }

    static inline platform::Event pumped{true, false};
    static inline std::atomic<bool> dispatched{false};

private:
    static platform::LRESULT Proc(platform::HWND h, platform::UINT msg, platform::WPARAM w, platform::LPARAM l) {
        if (msg == platform::WM_USER) {
            dispatched = true;
            pumped.Set();
        }
        return platform::DefWindowProc(h, msg, w, l);
    }
    std::thread thread_;
    platform::Event windowMade_{true, false};
    platform::HWND window_ = 0;
    std::int32_t result_ = -99;
    std::atomic<bool> done_{false};
};

TEST_F(ExportsTest, DataWaitsForABusyInstancePumpingItsMessagesForAtMost30Seconds) {
    platform::ManualClock clock(1000); // waits end only when the test moves the clock
    platform::ScopedClock useClock(clock);
    platform::Event entered(true, false), release(true, false);
    std::atomic<bool> block{false};
    std::int32_t nested = 0;
    TPluginCallRec rec{};
    configure = [&](TqorPlugin& m) {
        m.OnProcessData = [&](TPluginCallRecIntf&, std::int32_t& result) {
            if (rec.Options == 4) { // the handler hands data in again on its own thread
                TPluginCallRec again = rec;
                again.Options = 2;
                nested = ProcessData(&again);
            } else if (block.exchange(false)) {
                entered.Set();
                release.Wait();
            }
            result = 3;
        };
    };
    TestRecord r;
    Create(r);
    r.Params.Add("COMMAND", "LOAD");
    ASSERT_EQ(ExecutePluginCommand(&r.Rec), 0);
    static const char bytes[] = "abc";
    rec = r.Rec;
    rec.Params = 0;
    rec.Options = 4;
    rec.Value1 = {0, 3, 4, reinterpret_cast<std::uintptr_t>(bytes)};
    TPluginCallRec call = rec;
    EXPECT_EQ(ProcessData(&call), 3);
    EXPECT_EQ(nested, -1); // refused at once: waiting for itself would never end

    rec.Options = 2;
    auto busyCall = [&] {
        block = true;
        entered.Reset();
        release.Reset();
        std::thread busy([&] {
            TPluginCallRec mine = rec;
            EXPECT_EQ(ProcessData(&mine), 3);
        });
        entered.Wait();
        return busy;
    };
    std::thread busy = busyCall();
    {
        TDataCaller waiter(rec);
        EXPECT_TRUE(waiter.SeePumping()); // waiting, and pumping its thread's messages
        clock.Advance(29999);
        EXPECT_TRUE(waiter.SeePumping()); // still waiting
        EXPECT_EQ(waiter.Join(&clock), -1);
    }
    {
        TDataCaller waiter(rec);
        EXPECT_TRUE(waiter.SeePumping());
        release.Set();
        EXPECT_EQ(waiter.Join(), 3); // its turn came when the busy call ended
    }
    busy.join();

    busy = busyCall();
    TDataCaller waiter(rec);
    EXPECT_TRUE(waiter.SeePumping());
    TestRecord unload; // the last UNLOAD wakes the waiter, which sees the instance terminating
    unload.Rec.Instance = r.Rec.Instance;
    unload.Params.Add("COMMAND", "UNLOAD");
    EXPECT_EQ(ExecutePluginCommand(&unload.Rec), 0);
    EXPECT_EQ(waiter.Join(), -1);
    release.Set();
    busy.join();
}

} // namespace
