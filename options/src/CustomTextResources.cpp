#include "options/CustomTextResources.h"

#include <mutex>

namespace qor {

TCustomTextResources::TCustomTextResources() {
    Tag = kTextResourcesTag;
    RegisterTextResourcesTranslator();
}

void TCustomTextResources::Translate(TWtransl& translator, const TWtranslContext&) {
    if (Translated)
        return;
    Translated = true;
    for (std::string* text : Texts)
        if (text)
            if (auto t = translator.TranslateText(*text))
                *text = std::move(*t);
}

bool TWtranslatorCustomTextResources::Translate(TWtransl& translator, TPersistent* object,
                                               const TWtranslContext& context) {
    auto* resources = dynamic_cast<TCustomTextResources*>(object);
    if (!resources)
        return false;
    resources->Translate(translator, context);
    return true;
}

void RegisterTextResourcesTranslator() {
    static std::once_flag once;
    std::call_once(once, [] {
        TWtransl::RegisterHandler<TCustomTextResources>(std::make_shared<TWtranslatorCustomTextResources>(), "*");
    });
}

} // namespace qor
