// The translator component: replaces English texts by their translations from
// plain-text language files (format in WtranslLanguages.h).
//
// A module sets FileNames (its files joined by "|"), calls Translate for an
// object or a text with the languages, and lets the translator keep the loaded
// files: they are read on the first run and whenever the language pair
// changes, and forgotten 20 s after the last run (a timer on the thread that
// ran it, which must pump messages for that to happen).
//
// An object is translated through the handler registered for its class when
// there is one (RegisterHandler), else by the generic walk: every published
// property whose name is in ComponentProperties (string, string list or
// variant holding text), the object-valued properties that are not components,
// then the owned components. A component with Tag 9998 is skipped itself, its
// owned components are not.
#pragma once

#include "options/WtranslLanguages.h"

#include "common/qorComponent.h"
#include "common/qorStringList.h"

#include "platform/Locks.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <typeinfo>
#include <unordered_set>
#include <vector>

namespace qor {

class TqorTimerEx;
class TWtransl;

// A component with this Tag is not translated itself (its children are).
inline constexpr std::int32_t kWtranslSkipTag = 9998;

// The languages of the run that calls a handler.
struct TWtranslContext {
    std::string FromLanguage;
    std::string ToLanguage;
};

// Base of the handler classes that translate the objects of a registered class
// instead of the generic walk.
class TWtranslatorCustom {
public:
    virtual ~TWtranslatorCustom() = default;
    // True when the object was handled.
    virtual bool Translate(TWtransl& translator, TPersistent* object, const TWtranslContext& context) = 0;
};

class TWtransl : public TComponent {
public:
    // Time after the last run at which the loaded files are forgotten.
    static constexpr std::uint32_t kCacheInterval = 20000;
    // The locale used when no "Locale=" directive names one (en-US); this
    // platform has no thread locale to take it from.
    static constexpr std::uint32_t kDefaultLocale = 0x0409;

    TWtransl();
    // Writes the untranslated-texts file when texts were collected.
    ~TWtransl() override;
    std::string_view ClassName() const override { return "TWtransl"; }

    // Published.
    std::string FileNames = "app.lng"; // language files separated by "|"
    TStringList ComponentProperties;   // property names translated by the walk
    std::string Language = "EN";       // the default from-language

    // The entry point. toLanguage: none = the language the files provide
    // (FilesLanguage), kept from the last run when they name none. Translates
    // object when given, else text when given; with neither, ToLanguage
    // becomes the default from-language (Language) of later runs. fromLanguage:
    // none = Language. True when there was anything to translate with (pairs
    // loaded, or a SaveMode set).
    bool Translate(std::optional<std::string_view> toLanguage, TPersistent* object, std::string* text,
                   std::optional<std::string_view> fromLanguage = std::nullopt);
    bool Translate(std::string_view toLanguage, TPersistent& object, std::string_view fromLanguage) {
        return Translate(toLanguage, &object, nullptr, fromLanguage);
    }
    bool Translate(std::string_view toLanguage, std::string& text, std::string_view fromLanguage) {
        return Translate(toLanguage, nullptr, &text, fromLanguage);
    }

    // The translation of one text with the dictionaries loaded by the current
    // or last run; nullopt when there is none (the caller keeps its text).
    std::optional<std::string> TranslateText(std::string_view text);

    // The language a language file provides: the "Default =" line of its
    // "[Languages]" section (or the code marked "(Default)" there); for a file
    // without one, the first language of its entries other than
    // sourceLanguage. "" when the file is missing or has none of these.
    static std::string LanguageOfFile(const std::string& path, std::string_view sourceLanguage = "EN");
    // The language the files of FileNames provide: that of the last file that
    // names one (the module's own file comes after the shared one).
    std::string FilesLanguage() const;

    // Handlers: objects for which matches is true (and whose component name
    // fits nameMask, "*" and "?" wildcards) go to handler; the latest
    // registration that fits wins. Registering a class again replaces it.
    template <class T>
    static void RegisterHandler(std::shared_ptr<TWtranslatorCustom> handler, std::string nameMask = "*") {
        RegisterHandler(typeid(T).name(),
                        [](const TPersistent& o) { return dynamic_cast<const T*>(&o) != nullptr; },
                        std::move(handler), std::move(nameMask));
    }
    static void RegisterHandler(std::string key, std::function<bool(const TPersistent&)> matches,
                                std::shared_ptr<TWtranslatorCustom> handler, std::string nameMask);

    // State, as set by the last run and the directives of the files.
    std::string ToLanguage() const;
    std::string FromLanguage() const;
    std::string LoadedKey() const;
    std::int32_t PairCount() const;
    TWtranslFileSettings Settings() const;
    std::uint32_t DefaultLocale() const { return kDefaultLocale; }
    // The texts collected for the untranslated-texts file so far.
    std::vector<std::string> Collected() const;
    // Forgets the loaded files now (what the cache timer does).
    void ClearCache();

private:
    struct HandlerEntry;
    static std::vector<HandlerEntry>& Handlers();
    std::shared_ptr<TWtranslatorCustom> FindHandler(const TPersistent& object) const;

    std::vector<std::string> Files() const;
    int LoadPairs();
    bool TranslateInPlace(std::string& text);
    void Collect(const TWtranslLookup& lookup);
    void Walk(TPersistent& object, std::unordered_set<const TPersistent*>& visited);
    void TranslateProperty(TPersistent& object, const TPropInfo& p);
    void WriteUntranslated() const;
    void OnCacheTimer();

    mutable platform::CriticalSection lock_;
    std::string toLanguage_, fromLanguage_, loadedKey_;
    std::int32_t pairCount_ = 0;
    TWtranslFileSettings settings_;
    std::unique_ptr<TWtranslLanguagesList> dictionaries_;
    bool objectRun_ = false;
    TWtranslContext context_;
    // Collected texts in order, without repeats.
    std::vector<std::string> collected_;
    std::unordered_set<std::string> collectedSet_;
    // SaveMode Unused: the sources read, and the keys that answered a lookup.
    std::vector<std::string> sources_;
    std::unordered_set<std::string> sourceSet_, usedKeys_, usedLowerKeys_;
    // Last member: destroyed first, so no timer call meets a half-destroyed translator.
    std::unique_ptr<TqorTimerEx> cacheTimer_;
};

} // namespace qor
