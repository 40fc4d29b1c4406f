#include "options/Wtransl.h"

#include "common/qorStrUtils.h"
#include "common/qorTimerEx.h"

#include "platform/Debug.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <sstream>

namespace qor {

namespace {

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::error_code ec;
    const std::filesystem::path file = platform::PathFromUtf8(path);
    if (path.empty() || !std::filesystem::is_regular_file(file, ec))
        return std::nullopt;
    std::ifstream f(file, std::ios::binary);
    if (!f)
        return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(f), {});
}

// "*" any run, "?" any one character; ASCII case ignored.
bool MatchesMask(std::string_view name, std::string_view mask) {
    std::size_t n = 0, m = 0, star = std::string_view::npos, mark = 0;
    while (n < name.size()) {
        if (m < mask.size() && (mask[m] == '?' || LowerAscii(mask[m]) == LowerAscii(name[n]))) {
            ++n;
            ++m;
        } else if (m < mask.size() && mask[m] == '*') {
            star = m++;
            mark = n;
        } else if (star != std::string_view::npos) {
            m = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*')
        ++m;
    return m == mask.size();
}

bool IsSkipped(TWtranslSaveMode mode) {
    return mode == TWtranslSaveMode::None || mode == TWtranslSaveMode::Off;
}

std::mutex& HandlersLock() {
    static std::mutex m;
    return m;
}

} // namespace

struct TWtransl::HandlerEntry {
    std::string Key;
    std::function<bool(const TPersistent&)> Matches;
    std::shared_ptr<TWtranslatorCustom> Handler;
    std::string NameMask;
};

std::vector<TWtransl::HandlerEntry>& TWtransl::Handlers() {
    static std::vector<HandlerEntry> handlers;
    return handlers;
}

void TWtransl::RegisterHandler(std::string key, std::function<bool(const TPersistent&)> matches,
                               std::shared_ptr<TWtranslatorCustom> handler, std::string nameMask) {
    std::scoped_lock lock(HandlersLock());
    auto& handlers = Handlers();
    std::erase_if(handlers, [&](const HandlerEntry& e) { return e.Key == key; });
    handlers.push_back({std::move(key), std::move(matches), std::move(handler), std::move(nameMask)});
}

std::shared_ptr<TWtranslatorCustom> TWtransl::FindHandler(const TPersistent& object) const {
    const auto* component = dynamic_cast<const TComponent*>(&object);
    const std::string_view name = component ? std::string_view(component->Name) : std::string_view();
    std::scoped_lock lock(HandlersLock());
    const auto& handlers = Handlers();
    for (auto it = handlers.rbegin(); it != handlers.rend(); ++it)
        if (it->Matches(object) && MatchesMask(name, it->NameMask))
            return it->Handler;
    return nullptr;
}

TWtransl::TWtransl() {
    ComponentProperties.Assign(std::vector<std::string>{"CAPTION", "HINT", "TEXT", "TITLE", "CAPTIONS"});
    settings_.Locale = kDefaultLocale;
    Publish("FileNames", FileNames).WithDefault(Variant("app.lng"));
    Publish("ComponentProperties", ComponentProperties);
    Publish("Language", Language);
}

TWtransl::~TWtransl() {
    cacheTimer_.reset();
    try {
        WriteUntranslated();
    } catch (const std::exception& e) {
        platform::OutputDebugString(std::string("Translator: the untranslated-texts file was not written: ") +
                                    e.what());
    } catch (...) {
    }
}

std::vector<std::string> TWtransl::Files() const {
    std::vector<std::string> files;
    std::string_view s = FileNames;
    while (!s.empty()) {
        const std::size_t bar = s.find('|');
        const std::string_view f = s.substr(0, bar);
        if (!f.empty())
            files.emplace_back(f);
        if (bar == std::string_view::npos)
            break;
        s.remove_prefix(bar + 1);
    }
    return files;
}

std::string TWtransl::LanguageOfFile(const std::string& path, std::string_view sourceLanguage) {
    const auto text = ReadWholeFile(path);
    if (!text)
        return {};
    TLanguageFileInfo info = ReadLanguagesSection(*text);
    if (!info.Default.empty())
        return info.Default;
    for (auto& lang : info.EntryLanguages)
        if (lang != sourceLanguage)
            return std::move(lang);
    return {};
}

std::string TWtransl::FilesLanguage() const {
    const auto files = Files();
    for (auto it = files.rbegin(); it != files.rend(); ++it)
        if (std::string lang = LanguageOfFile(*it, Language); !lang.empty())
            return lang;
    return {};
}

int TWtransl::LoadPairs() {
    settings_.Encoding = 0;
    settings_.BiDiMode = 0;
    settings_.Charset = 1;
    settings_.CodePage = 0;
    settings_.Locale = kDefaultLocale;
    if (toLanguage_.empty())
        return 0;
    int pairs = 0;
    for (const std::string& file : Files()) {
        const auto text = ReadWholeFile(file);
        if (!text)
            continue;
        std::vector<std::string> sources;
        pairs += ReadLanguageText(*text, fromLanguage_, toLanguage_, settings_, *dictionaries_, &sources);
        for (auto& s : sources)
            if (sourceSet_.insert(s).second)
                sources_.push_back(std::move(s));
    }
    return pairs;
}

bool TWtransl::Translate(std::optional<std::string_view> toLanguage, TPersistent* object, std::string* text,
                         std::optional<std::string_view> fromLanguage) {
    bool ran = false;
    bool result = false;
    {
        std::scoped_lock lock(lock_);
        if (toLanguage) {
            toLanguage_ = std::string(*toLanguage);
        } else if (std::string lang = FilesLanguage(); !lang.empty()) {
            toLanguage_ = std::move(lang);
        }
        fromLanguage_ = fromLanguage ? std::string(*fromLanguage) : Language;
        if (!dictionaries_)
            dictionaries_ = std::make_unique<TWtranslLanguagesList>();
        const std::string key = toLanguage_ + fromLanguage_;
        if (key != loadedKey_) {
            loadedKey_ = key;
            dictionaries_->Exact.clear();
            dictionaries_->Lower.clear();
            pairCount_ = LoadPairs();
        }
        if (cacheTimer_)
            cacheTimer_->SetEnabled(false);

        result = !IsSkipped(settings_.SaveMode) || pairCount_ > 0;
        if (result) {
            ran = true;
            context_ = {fromLanguage_, toLanguage_};
            if (object) {
                objectRun_ = true;
                std::unordered_set<const TPersistent*> visited;
                try {
                    Walk(*object, visited);
                } catch (...) {
                    objectRun_ = false;
                    throw;
                }
                objectRun_ = false;
            } else if (text) {
                TranslateInPlace(*text);
            } else {
                Language = toLanguage_;
            }
        }
    }
    if (ran) {
        TqorTimerEx* timer;
        {
            std::scoped_lock lock(lock_);
            if (!cacheTimer_) {
                // Bound to this thread: the files are forgotten when it pumps messages.
                auto made = std::make_unique<TqorTimerEx>();
                made->SetEnabled(false);
                made->SetInterval(kCacheInterval);
                made->SetOnTimer([this](TqorTimerEx&) { OnCacheTimer(); });
                cacheTimer_ = std::move(made);
            }
            timer = cacheTimer_.get();
        }
        timer->SetEnabled(true);
    }
    return result;
}

void TWtransl::OnCacheTimer() {
    cacheTimer_->SetEnabled(false);
    ClearCache();
}

void TWtransl::ClearCache() {
    std::scoped_lock lock(lock_);
    pairCount_ = 0;
    loadedKey_.clear();
    dictionaries_.reset();
}

void TWtransl::Collect(const TWtranslLookup& lookup) {
    bool keep = false;
    switch (settings_.SaveMode) {
    case TWtranslSaveMode::Untranslated:
        keep = !lookup.Translation;
        break;
    case TWtranslSaveMode::All:
        keep = true;
        break;
    case TWtranslSaveMode::UntranslatedObjects:
        keep = objectRun_ && !lookup.Translation;
        break;
    case TWtranslSaveMode::Unused:
        if (lookup.Translation)
            (lookup.FromLower ? usedLowerKeys_ : usedKeys_).insert(lookup.Key);
        break;
    default:
        break;
    }
    if (keep && !lookup.FileForm.empty() && collectedSet_.insert(lookup.FileForm).second)
        collected_.push_back(lookup.FileForm);
}

std::optional<std::string> TWtransl::TranslateText(std::string_view text) {
    std::scoped_lock lock(lock_);
    if (!dictionaries_)
        return std::nullopt;
    TWtranslLookup lookup = LookupText(*dictionaries_, text);
    Collect(lookup);
    return std::move(lookup.Translation);
}

bool TWtransl::TranslateInPlace(std::string& text) {
    if (auto t = TranslateText(text)) {
        text = std::move(*t);
        return true;
    }
    return false;
}

void TWtransl::TranslateProperty(TPersistent& object, const TPropInfo& p) {
    switch (p.Kind) {
    case TTypeKind::String:
    case TTypeKind::Variant: {
        if (!p.Get || !p.Set)
            return;
        const Variant v = p.Get();
        if (!v.IsString())
            return;
        std::string s = v.AsString();
        if (TranslateInPlace(s))
            p.Set(Variant(std::move(s)));
        return;
    }
    case TTypeKind::StringList: {
        auto* list = p.Object ? dynamic_cast<TStringList*>(p.Object()) : nullptr;
        if (!list || list->Sorted())
            return;
        list->BeginUpdate();
        for (int i = 0; i < list->Count(); ++i) {
            std::string s = list->Strings(i);
            if (TranslateInPlace(s))
                list->Put(i, std::move(s));
        }
        list->EndUpdate();
        return;
    }
    default:
        (void)object;
        return;
    }
}

void TWtransl::Walk(TPersistent& object, std::unordered_set<const TPersistent*>& visited) {
    if (!visited.insert(&object).second)
        return;
    auto* component = dynamic_cast<TComponent*>(&object);
    if (!component || component->Tag != kWtranslSkipTag) {
        const auto handler = FindHandler(object);
        if (!handler || !handler->Translate(*this, &object, context_)) {
            for (const TPropInfo& p : object.Properties()) {
                if (ComponentProperties.IndexOf(p.Name) >= 0) {
                    try {
                        TranslateProperty(object, p);
                    } catch (const std::exception& e) {
                        // One property that does not take its translation does not stop the walk.
                        platform::OutputDebugString("Translator: " + p.Name + ": " + e.what());
                    }
                }
                if (p.Kind == TTypeKind::Class && p.Object) {
                    TPersistent* sub = p.Object();
                    if (sub && !dynamic_cast<TComponent*>(sub))
                        Walk(*sub, visited);
                }
            }
        }
    }
    if (component)
        for (int i = 0; i < component->ComponentCount(); ++i)
            Walk(component->Components(i), visited);
}

std::string TWtransl::ToLanguage() const {
    std::scoped_lock lock(lock_);
    return toLanguage_;
}

std::string TWtransl::FromLanguage() const {
    std::scoped_lock lock(lock_);
    return fromLanguage_;
}

std::string TWtransl::LoadedKey() const {
    std::scoped_lock lock(lock_);
    return loadedKey_;
}

std::int32_t TWtransl::PairCount() const {
    std::scoped_lock lock(lock_);
    return pairCount_;
}

TWtranslFileSettings TWtransl::Settings() const {
    std::scoped_lock lock(lock_);
    return settings_;
}

std::vector<std::string> TWtransl::Collected() const {
    std::scoped_lock lock(lock_);
    if (settings_.SaveMode != TWtranslSaveMode::Unused)
        return collected_;
    std::vector<std::string> unused;
    for (const auto& s : sources_) {
        if (!usedKeys_.count(s) && !usedLowerKeys_.count(platform::AnsiLowerCase(s)))
            unused.push_back(s);
    }
    return unused;
}

void TWtransl::WriteUntranslated() const {
    const TWtranslSaveMode mode = Settings().SaveMode;
    if (IsSkipped(mode))
        return;
    const std::vector<std::string> texts = Collected();
    const auto files = Files();
    if (texts.empty() || files.empty())
        return;

    const std::string& first = files.front();
    const std::string ext = mode == TWtranslSaveMode::Unused ? ".unused" : ".new";
    std::string name = first + ext;
    const TWtranslFileMode fileMode = Settings().FileMode;
    std::error_code ec;
    if (fileMode == TWtranslFileMode::New)
        for (int n = 1; std::filesystem::exists(platform::PathFromUtf8(name), ec); ++n)
            name = first + "." + std::to_string(n) + ext;
    const bool append =
        fileMode == TWtranslFileMode::Append && std::filesystem::exists(platform::PathFromUtf8(name), ec);

    std::ostringstream out;
    const std::string from = FromLanguage(), to = ToLanguage();
    // A file started from empty names its languages first; a file appended
    // to already has them.
    if (!append)
        out << "[Languages]\r\n$" << from << " = #1\r\n$" << to << " = #2 (Default)\r\nDefault = " << to
            << "\r\n\r\n";
    for (const auto& t : texts)
        out << from << ":>" << t << "\r\n" << to << ":>\r\n\r\n";
    out << "\r\n";

    std::ofstream f(platform::PathFromUtf8(name), std::ios::binary | (append ? std::ios::app : std::ios::trunc));
    const std::string data = out.str();
    f.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!f)
        throw std::runtime_error("cannot write " + name);
}

} // namespace qor
