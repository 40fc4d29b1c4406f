// The registry on Win32: the system's own, through the wide API.
//
// A store named by a file (RegistryStore::Open, used by tests and tools that
// want a registry of their own) is a private subtree of the user's hive,
// HKEY_CURRENT_USER\Software\qor-datalogger\Stores\<the file's path, "\" as
// "|">, holding one key per root; the file itself is not used. The default
// store is the registry itself, seen as the process sees it: a 32-bit plug-in
// in a 32-bit host reads and writes HKLM\Software through the 32-bit view
// (WOW6432Node on 64-bit Windows), as the host's own settings code does.
//
// The registry has no transactions that a program should still use (the
// kernel transaction manager is deprecated). A write transaction here is an
// undo log instead: every change made through the store on the thread that
// began it records what the value or key was before, and a rollback (or the
// transaction ending without Commit) puts it all back, newest first. Writers
// of the same store, in this process or others, take turns through a named
// mutex held for the whole transaction. What this cannot cover is the process
// dying in the middle of a save: the values written so far stay. The settings
// component writes a few values per save, each one atomic.
#include "WinApi.h"

#include "platform/Errors.h"
#include "platform/Registry.h"
#include "platform/Sync.h"
#include "platform/Text.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

namespace platform {

namespace {

constexpr std::array<std::string_view, 6> kRootNames{
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS", "HKEY_CURRENT_CONFIG", ""};
constexpr std::array<std::string_view, 6> kRootShortNames{"HKCR", "HKCU", "HKLM", "HKU", "HKCC", ""};
constexpr std::size_t kMaxKeyName = 255;
constexpr std::size_t kMaxValueName = 16383;

std::atomic<unsigned> deniedRoots{0};

RegStatus Status(::LONG code) { return static_cast<RegStatus>(static_cast<DWORD>(code)); }

bool SplitPath(std::string_view path, std::string* normal) {
    if (!path.empty() && path.front() == '\\')
        path.remove_prefix(1);
    if (!path.empty() && path.back() == '\\')
        path.remove_suffix(1);
    normal->assign(path);
    if (path.empty())
        return true;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('\\', start);
        const std::string_view name = path.substr(start, end == std::string_view::npos ? end : end - start);
        if (name.empty() || name.size() > kMaxKeyName)
            return false;
        if (end == std::string_view::npos)
            return true;
        start = end + 1;
    }
}

bool RootDeniedByEnvironment(RegistryRoot root) {
    const char* v = std::getenv("QOR_REGISTRY_DENY_ROOTS");
    if (!v || !*v)
        return false;
    const auto index = static_cast<std::size_t>(root);
    std::string_view list(v);
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        std::string_view item = list.substr(0, comma);
        list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
        while (!item.empty() && item.front() == ' ')
            item.remove_prefix(1);
        while (!item.empty() && item.back() == ' ')
            item.remove_suffix(1);
        const std::string upper = AnsiUpperCase(item);
        if (upper == kRootNames[index] || upper == kRootShortNames[index])
            return true;
    }
    return false;
}

// The undo log of the write transaction running on this thread.
struct Undo {
    const RegistryStore* store;
    std::vector<std::function<void()>> steps;
    int depth = 0;
};
thread_local Undo* currentUndo = nullptr;

::HKEY SystemRoot(RegistryRoot root) {
    switch (root) {
    case RegistryRoot::ClassesRoot:
        return win32::kHkeyClassesRoot;
    case RegistryRoot::CurrentUser:
        return win32::kHkeyCurrentUser;
    case RegistryRoot::LocalMachine:
        return win32::kHkeyLocalMachine;
    case RegistryRoot::Users:
        return win32::kHkeyUsers;
    case RegistryRoot::CurrentConfig:
        return win32::kHkeyCurrentConfig;
    default:
        return nullptr;
    }
}

} // namespace

struct RegistryStore::Impl {
    std::filesystem::path file;
    std::wstring prefix; // empty: the system registry itself
    ::HANDLE writers = nullptr;
    ~Impl() {
        if (writers)
            ::CloseHandle(writers);
    }
};

struct RegistryAccess {
    static std::shared_ptr<RegistryStore> Make(std::unique_ptr<RegistryStore::Impl> impl) {
        return std::make_shared<RegistryStore>(std::move(impl), RegistryStore::Token{});
    }
    static RegistryStore::Impl& Of(const RegistryStore& store) { return *store.impl_; }
};

namespace {

std::unique_ptr<RegistryStore::Impl> MakeImpl(const std::filesystem::path& file, std::wstring prefix) {
    auto impl = std::make_unique<RegistryStore::Impl>();
    impl->file = file;
    impl->prefix = std::move(prefix);
    std::wstring mutexName = L"Local\\QorRegistryWriters";
    for (wchar_t c : impl->prefix)
        mutexName += (c == L'\\' ? L'|' : c);
    impl->writers = ::CreateMutexW(nullptr, FALSE, mutexName.c_str());
    return impl;
}

// The system key and the path below it where root\path of a store lives.
::HKEY Locate(const RegistryStore& store, RegistryRoot root, const std::string& path, std::wstring* full) {
    const auto& impl = RegistryAccess::Of(store);
    if (impl.prefix.empty()) {
        *full = win32::Widen(path);
        return SystemRoot(root);
    }
    *full = impl.prefix + L"\\" + win32::Widen(kRootNames[static_cast<std::size_t>(root)]);
    if (!path.empty())
        *full += L"\\" + win32::Widen(path);
    return win32::kHkeyCurrentUser;
}

std::shared_ptr<RegistryStore> StoreOrDefault(const std::shared_ptr<RegistryStore>& store) {
    return store ? store : RegistryStore::Default();
}

} // namespace

std::optional<RegistryRoot> RegistryRootFromIndex(int index) {
    if (index < 0 || index > static_cast<int>(RegistryRoot::None))
        return std::nullopt;
    return static_cast<RegistryRoot>(index);
}

std::string_view RegistryRootName(RegistryRoot root) {
    const auto index = static_cast<std::size_t>(root);
    return index < kRootNames.size() ? kRootNames[index] : std::string_view{};
}

void SetRegistryRootDenied(RegistryRoot root, bool denied) {
    const unsigned bit = 1u << static_cast<unsigned>(root);
    if (denied)
        deniedRoots.fetch_or(bit);
    else
        deniedRoots.fetch_and(~bit);
}

bool IsRegistryRootDenied(RegistryRoot root) {
    return (deniedRoots.load() & (1u << static_cast<unsigned>(root))) != 0 || RootDeniedByEnvironment(root);
}

RegistryStore::RegistryStore(std::unique_ptr<Impl> impl, Token) : impl_(std::move(impl)) {}
RegistryStore::~RegistryStore() = default;
const std::filesystem::path& RegistryStore::File() const { return impl_->file; }

std::shared_ptr<RegistryStore> RegistryStore::Open(const std::filesystem::path& file, RegStatus* status) {
    std::wstring name = std::filesystem::absolute(file).native();
    std::replace(name.begin(), name.end(), L'\\', L'|');
    if (name.size() > 200)
        name = name.substr(name.size() - 200);
    auto store = RegistryAccess::Make(MakeImpl(file, L"Software\\qor-datalogger\\Stores\\" + name));
    if (status)
        *status = RegStatus::Success;
    return store;
}

std::filesystem::path RegistryStore::DefaultFile() {
    if (const wchar_t* v = ::_wgetenv(L"QOR_REGISTRY_FILE"); v && *v)
        return std::filesystem::path(std::wstring(v));
    return {};
}

std::shared_ptr<RegistryStore> RegistryStore::Default(RegStatus* status) {
    // $QOR_REGISTRY_FILE gives tests a store of their own, as on Linux; the
    // registry itself otherwise.
    static std::mutex mutex;
    static std::shared_ptr<RegistryStore> current;
    std::scoped_lock hold(mutex);
    const std::filesystem::path file = DefaultFile();
    if (!current || current->File() != file)
        current = file.empty() ? RegistryAccess::Make(MakeImpl({}, L"")) : Open(file);
    if (status)
        *status = RegStatus::Success;
    return current;
}

struct RegistryKey::State {
    ::HKEY key = nullptr;
    RegistryRoot root = RegistryRoot::None;
    std::string path;
    std::shared_ptr<RegistryStore> store;
    RegAccess access = RegAccess::Read;
    ~State() {
        if (key)
            ::RegCloseKey(key);
    }
};

RegistryKey::RegistryKey() noexcept = default;
RegistryKey::~RegistryKey() = default;
RegistryKey::RegistryKey(RegistryKey&&) noexcept = default;
RegistryKey& RegistryKey::operator=(RegistryKey&&) noexcept = default;

namespace {

::REGSAM Sam(RegAccess access) { return access == RegAccess::Read ? KEY_READ : KEY_READ | KEY_WRITE; }

// Before a change under a write transaction of this store: how to undo it.
void RecordValue(const RegistryKey::State& s, std::string_view name);
void RecordCreated(const RegistryKey::State& s, const std::wstring& full, ::HKEY base);

} // namespace

RegStatus RegistryKey::Open(RegistryRoot root, std::string_view subKey, RegAccess access,
                            const std::shared_ptr<RegistryStore>& store) {
    Close();
    if (root == RegistryRoot::None)
        return RegStatus::InvalidHandle;
    if (IsRegistryRootDenied(root))
        return RegStatus::AccessDenied;
    auto s = std::make_unique<State>();
    if (!SplitPath(subKey, &s->path))
        return RegStatus::InvalidParameter;
    s->store = StoreOrDefault(store);
    std::wstring full;
    const ::HKEY base = Locate(*s->store, root, s->path, &full);
    if (const ::LONG rc = ::RegOpenKeyExW(base, full.c_str(), 0, Sam(access), &s->key); rc != ERROR_SUCCESS)
        return Status(rc);
    s->root = root;
    s->access = access;
    state_ = std::move(s);
    return RegStatus::Success;
}

RegStatus RegistryKey::Open(const RegistryKey& parent, std::string_view subKey, RegAccess access) {
    if (!parent.state_)
        return RegStatus::InvalidHandle;
    std::string path;
    if (!SplitPath(subKey, &path))
        return RegStatus::InvalidParameter;
    const std::string joined = parent.state_->path.empty() ? path
                               : path.empty()              ? parent.state_->path
                                                           : parent.state_->path + "\\" + path;
    auto store = parent.state_->store;
    return Open(parent.state_->root, joined, access, store);
}

RegStatus RegistryKey::Create(RegistryRoot root, std::string_view subKey, bool* created,
                              const std::shared_ptr<RegistryStore>& store) {
    Close();
    if (root == RegistryRoot::None)
        return RegStatus::InvalidHandle;
    if (IsRegistryRootDenied(root))
        return RegStatus::AccessDenied;
    auto s = std::make_unique<State>();
    if (!SplitPath(subKey, &s->path))
        return RegStatus::InvalidParameter;
    s->store = StoreOrDefault(store);
    std::wstring full;
    const ::HKEY base = Locate(*s->store, root, s->path, &full);
    // The first key on the way that does not exist yet is what an undo takes
    // away again.
    std::wstring firstMissing;
    {
        std::wstring probe;
        std::size_t at = 0;
        while (at != std::wstring::npos) {
            const std::size_t next = full.find(L'\\', at);
            probe = full.substr(0, next);
            ::HKEY h = nullptr;
            if (::RegOpenKeyExW(base, probe.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) {
                firstMissing = probe;
                break;
            }
            ::RegCloseKey(h);
            at = next == std::wstring::npos ? next : next + 1;
        }
    }
    ::DWORD disposition = 0;
    if (const ::LONG rc = ::RegCreateKeyExW(base, full.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                                            &s->key, &disposition);
        rc != ERROR_SUCCESS)
        return Status(rc);
    s->root = root;
    s->access = RegAccess::ReadWrite;
    if (!firstMissing.empty())
        RecordCreated(*s, firstMissing, base);
    if (created)
        *created = disposition == REG_CREATED_NEW_KEY;
    state_ = std::move(s);
    return RegStatus::Success;
}

RegStatus RegistryKey::Create(const RegistryKey& parent, std::string_view subKey, bool* created) {
    if (!parent.state_)
        return RegStatus::InvalidHandle;
    if (parent.state_->access != RegAccess::ReadWrite)
        return RegStatus::AccessDenied;
    std::string path;
    if (!SplitPath(subKey, &path))
        return RegStatus::InvalidParameter;
    const std::string joined = parent.state_->path.empty() ? path
                               : path.empty()              ? parent.state_->path
                                                           : parent.state_->path + "\\" + path;
    auto store = parent.state_->store;
    return Create(parent.state_->root, joined, created, store);
}

void RegistryKey::Close() noexcept { state_.reset(); }
bool RegistryKey::IsOpen() const noexcept { return state_ != nullptr; }
RegistryRoot RegistryKey::Root() const noexcept { return state_ ? state_->root : RegistryRoot::None; }

const std::string& RegistryKey::Path() const noexcept {
    static const std::string none;
    return state_ ? state_->path : none;
}

const std::shared_ptr<RegistryStore>& RegistryKey::Store() const noexcept {
    static const std::shared_ptr<RegistryStore> none;
    return state_ ? state_->store : none;
}

namespace {

// Registry text is UTF-16 with a terminator; the platform's is UTF-8 without.
std::vector<std::uint8_t> ToSystem(RegValueType type, std::span<const std::uint8_t> data) {
    if (type != RegValueType::Sz)
        return {data.begin(), data.end()};
    std::wstring wide = win32::Widen(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    wide.push_back(L'\0');
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(wide.data());
    return {bytes, bytes + wide.size() * sizeof(wchar_t)};
}

RegStatus Query(::HKEY key, std::string_view name, RegValue* out) {
    const std::wstring wname = win32::Widen(name);
    ::DWORD type = 0, size = 0;
    ::LONG rc = ::RegQueryValueExW(key, wname.c_str(), nullptr, &type, nullptr, &size);
    std::vector<std::uint8_t> data;
    while (rc == ERROR_SUCCESS || rc == ERROR_MORE_DATA) {
        data.resize(size);
        rc = ::RegQueryValueExW(key, wname.c_str(), nullptr, &type, data.data(), &size);
        if (rc == ERROR_SUCCESS) {
            data.resize(size);
            break;
        }
    }
    if (rc != ERROR_SUCCESS)
        return Status(rc);
    if (out) {
        if (type == 1 /* REG_SZ */ || type == REG_EXPAND_SZ) {
            std::wstring_view text(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
            while (!text.empty() && text.back() == L'\0')
                text.remove_suffix(1);
            const std::string utf8 = win32::Narrow(text);
            out->Type = RegValueType::Sz;
            out->Data.assign(utf8.begin(), utf8.end());
        } else {
            out->Type = static_cast<RegValueType>(type);
            out->Data = std::move(data);
        }
    }
    return RegStatus::Success;
}

void RecordValue(const RegistryKey::State& s, std::string_view name) {
    Undo* undo = currentUndo;
    if (!undo || undo->store != s.store.get())
        return;
    RegValue before;
    const bool existed = Query(s.key, name, &before) == RegStatus::Success;
    std::wstring full;
    const ::HKEY base = Locate(*s.store, s.root, s.path, &full);
    const std::wstring wname = win32::Widen(name);
    undo->steps.push_back([base, full, wname, existed, before] {
        ::HKEY h = nullptr;
        if (::RegOpenKeyExW(base, full.c_str(), 0, KEY_WRITE, &h) != ERROR_SUCCESS)
            return;
        if (existed) {
            const auto data = ToSystem(before.Type, before.Data);
            ::RegSetValueExW(h, wname.c_str(), 0, static_cast<::DWORD>(before.Type), data.data(),
                             static_cast<::DWORD>(data.size()));
        } else {
            ::RegDeleteValueW(h, wname.c_str());
        }
        ::RegCloseKey(h);
    });
}

void RecordCreated(const RegistryKey::State& s, const std::wstring& full, ::HKEY base) {
    Undo* undo = currentUndo;
    if (!undo || undo->store != s.store.get())
        return;
    undo->steps.push_back([base, full] { ::RegDeleteTreeW(base, full.c_str()); });
}

} // namespace

RegStatus RegistryKey::SetValue(std::string_view name, RegValueType type, std::span<const std::uint8_t> data) {
    if (!state_)
        return RegStatus::InvalidHandle;
    if (state_->access != RegAccess::ReadWrite)
        return RegStatus::AccessDenied;
    if (name.size() > kMaxValueName || (type == RegValueType::Dword && data.size() != 4))
        return RegStatus::InvalidParameter;
    RecordValue(*state_, name);
    const auto bytes = ToSystem(type, data);
    return Status(::RegSetValueExW(state_->key, win32::Widen(name).c_str(), 0, static_cast<::DWORD>(type), bytes.data(),
                                   static_cast<::DWORD>(bytes.size())));
}

RegStatus RegistryKey::QueryValue(std::string_view name, RegValue* out) const {
    if (!state_)
        return RegStatus::InvalidHandle;
    return Query(state_->key, name, out);
}

RegStatus RegistryKey::DeleteValue(std::string_view name) {
    if (!state_)
        return RegStatus::InvalidHandle;
    if (state_->access != RegAccess::ReadWrite)
        return RegStatus::AccessDenied;
    RecordValue(*state_, name);
    return Status(::RegDeleteValueW(state_->key, win32::Widen(name).c_str()));
}

bool RegistryKey::ValueExists(std::string_view name) const { return QueryValue(name, nullptr) == RegStatus::Success; }

std::optional<RegValueType> RegistryKey::GetDataType(std::string_view name) const {
    RegValue v;
    if (QueryValue(name, &v) != RegStatus::Success)
        return std::nullopt;
    return v.Type;
}

RegStatus RegistryKey::WriteDword(std::string_view name, std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                                   static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
    return SetValue(name, RegValueType::Dword, bytes);
}

RegStatus RegistryKey::WriteString(std::string_view name, std::string_view value) {
    return SetValue(name, RegValueType::Sz,
                    std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
}

RegStatus RegistryKey::WriteBinary(std::string_view name, std::span<const std::uint8_t> value) {
    return SetValue(name, RegValueType::Binary, value);
}

RegStatus RegistryKey::WriteFloat(std::string_view name, double value) {
    std::uint8_t bytes[8];
    std::memcpy(bytes, &value, 8);
    return SetValue(name, RegValueType::Binary, bytes);
}

std::optional<std::uint32_t> RegistryKey::ReadDword(std::string_view name) const {
    RegValue v;
    if (QueryValue(name, &v) != RegStatus::Success || v.Type != RegValueType::Dword || v.Data.size() != 4)
        return std::nullopt;
    return static_cast<std::uint32_t>(v.Data[0]) | static_cast<std::uint32_t>(v.Data[1]) << 8 |
           static_cast<std::uint32_t>(v.Data[2]) << 16 | static_cast<std::uint32_t>(v.Data[3]) << 24;
}

std::optional<std::string> RegistryKey::ReadString(std::string_view name) const {
    RegValue v;
    if (QueryValue(name, &v) != RegStatus::Success || v.Type != RegValueType::Sz)
        return std::nullopt;
    std::string text(v.Data.begin(), v.Data.end());
    if (const auto nul = text.find('\0'); nul != std::string::npos)
        text.resize(nul);
    return text;
}

std::optional<std::vector<std::uint8_t>> RegistryKey::ReadBinary(std::string_view name) const {
    RegValue v;
    if (QueryValue(name, &v) != RegStatus::Success || v.Type != RegValueType::Binary)
        return std::nullopt;
    return v.Data;
}

std::optional<double> RegistryKey::ReadFloat(std::string_view name) const {
    RegValue v;
    if (QueryValue(name, &v) != RegStatus::Success || v.Type != RegValueType::Binary || v.Data.size() != 8)
        return std::nullopt;
    double d;
    std::memcpy(&d, v.Data.data(), 8);
    return d;
}

RegStatus RegistryKey::EnumKeys(std::vector<std::string>* names) const {
    if (!state_)
        return RegStatus::InvalidHandle;
    names->clear();
    for (::DWORD i = 0;; ++i) {
        wchar_t name[kMaxKeyName + 1];
        ::DWORD length = kMaxKeyName + 1;
        const ::LONG rc = ::RegEnumKeyExW(state_->key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return Status(rc);
        names->push_back(win32::Narrow(std::wstring_view(name, length)));
    }
    std::sort(names->begin(), names->end(),
              [](const std::string& a, const std::string& b) { return AnsiUpperCase(a) < AnsiUpperCase(b); });
    return RegStatus::Success;
}

RegStatus RegistryKey::EnumValues(std::vector<std::string>* names) const {
    if (!state_)
        return RegStatus::InvalidHandle;
    names->clear();
    std::wstring name(kMaxValueName + 1, L'\0');
    for (::DWORD i = 0;; ++i) {
        ::DWORD length = static_cast<::DWORD>(name.size());
        const ::LONG rc = ::RegEnumValueW(state_->key, i, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS)
            return Status(rc);
        names->push_back(win32::Narrow(std::wstring_view(name.data(), length)));
    }
    return RegStatus::Success;
}

bool RegistryKey::HasSubKeys() const {
    ::DWORD count = 0;
    return state_ &&
           ::RegQueryInfoKeyW(state_->key, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
           count > 0;
}

bool RegistryKey::KeyExists(std::string_view subKey) const {
    RegistryKey k;
    return k.Open(*this, subKey, RegAccess::Read) == RegStatus::Success;
}

RegStatus RegistryKey::DeleteKey(std::string_view subKey) {
    if (!state_)
        return RegStatus::InvalidHandle;
    if (state_->access != RegAccess::ReadWrite)
        return RegStatus::AccessDenied;
    std::string path;
    if (!SplitPath(subKey, &path) || path.empty())
        return RegStatus::InvalidParameter;
    if (currentUndo && currentUndo->store == state_->store.get())
        return RegStatus::AccessDenied; // a deleted tree cannot be put back: not inside a transaction
    return Status(::RegDeleteTreeW(state_->key, win32::Widen(path).c_str()));
}

RegStatus RegDeleteTree(RegistryRoot root, std::string_view subKey, const std::shared_ptr<RegistryStore>& store) {
    std::string path;
    if (!SplitPath(subKey, &path) || path.empty())
        return RegStatus::InvalidParameter;
    RegistryKey k;
    if (const RegStatus s = k.Open(root, "", RegAccess::ReadWrite, store); s != RegStatus::Success)
        return s;
    return k.DeleteKey(path);
}

bool RegKeyExists(RegistryRoot root, std::string_view subKey, const std::shared_ptr<RegistryStore>& store) {
    RegistryKey k;
    return k.Open(root, subKey, RegAccess::Read, store) == RegStatus::Success;
}

struct RegistryTransaction::State {
    std::shared_ptr<RegistryStore> store;
    Kind kind = Kind::Read;
    RegStatus status = RegStatus::Success;
    bool owner = false; // this transaction began the undo log (not a nested one)
    bool done = false;
    std::size_t mark = 0; // the undo steps before a nested transaction began
    Undo undo;
};

RegistryTransaction::RegistryTransaction(const std::shared_ptr<RegistryStore>& store, Kind kind)
    : state_(std::make_unique<State>()) {
    state_->store = StoreOrDefault(store);
    state_->kind = kind;
    if (kind == Kind::Read)
        return;
    if (currentUndo) {
        state_->mark = currentUndo->steps.size();
        ++currentUndo->depth;
        return;
    }
    const ::HANDLE writers = RegistryAccess::Of(*state_->store).writers;
    if (writers) {
        const ::DWORD r = ::WaitForSingleObject(writers, 10000);
        if (r == WAIT_TIMEOUT) {
            state_->status = RegStatus::Busy;
            return;
        }
    }
    state_->undo.store = state_->store.get();
    state_->owner = true;
    currentUndo = &state_->undo;
}

RegistryTransaction::RegistryTransaction(const RegistryKey& key, Kind kind)
    : RegistryTransaction(key.Store(), kind) {}

RegistryTransaction::~RegistryTransaction() {
    if (state_ && !state_->done)
        Rollback();
}

RegStatus RegistryTransaction::Status() const noexcept { return state_->status; }

RegStatus RegistryTransaction::Commit() {
    if (state_->status != RegStatus::Success)
        return state_->status;
    if (state_->done)
        return RegStatus::InvalidHandle;
    state_->done = true;
    if (state_->kind == Kind::Write) {
        if (state_->owner) {
            currentUndo = nullptr;
            if (const ::HANDLE writers = RegistryAccess::Of(*state_->store).writers)
                ::ReleaseMutex(writers);
        } else if (currentUndo) {
            --currentUndo->depth;
        }
    }
    return RegStatus::Success;
}

void RegistryTransaction::Rollback() noexcept {
    if (state_->done || state_->status != RegStatus::Success || state_->kind == Kind::Read) {
        state_->done = true;
        return;
    }
    state_->done = true;
    Undo* undo = state_->owner ? &state_->undo : currentUndo;
    if (undo) {
        // Newest first, down to where this transaction began; the steps are
        // not recorded again while they run.
        Undo* keep = currentUndo;
        currentUndo = nullptr;
        while (undo->steps.size() > state_->mark) {
            try {
                undo->steps.back()();
            } catch (...) {
            }
            undo->steps.pop_back();
        }
        currentUndo = state_->owner ? nullptr : keep;
        if (!state_->owner && keep)
            --keep->depth;
    }
    if (state_->owner)
        if (const ::HANDLE writers = RegistryAccess::Of(*state_->store).writers)
            ::ReleaseMutex(writers);
}

} // namespace platform
