// Text resources: an object whose string fields are the translatable words of
// a module, translated once by the module's translator.
#pragma once

#include "options/Wtransl.h"

#include "common/qorComponent.h"

#include <string>
#include <vector>

namespace qor {

// Tag of every text resources object.
inline constexpr std::int32_t kTextResourcesTag = 9997;

class TCustomTextResources : public TComponent {
public:
    // Sets Tag 9997 and makes sure the translator knows the handler below.
    TCustomTextResources();
    std::string_view ClassName() const override { return "TCustomTextResources"; }

    bool Translated = false;
    // The string fields of the derived class that are translated; a null
    // entry is skipped. Empty in the base class.
    std::vector<std::string*> Texts;

    // The first call replaces every text by the translator's translation of it
    // (a text without one stays); later calls do nothing.
    virtual void Translate(TWtransl& translator, const TWtranslContext& context);
};

// The translator's handler for TCustomTextResources and its descendants: it
// lets the object translate itself.
class TWtranslatorCustomTextResources : public TWtranslatorCustom {
public:
    bool Translate(TWtransl& translator, TPersistent* object, const TWtranslContext& context) override;
};

// Registers the handler for all names ("*"); done by the first text resources
// object, and harmless to repeat.
void RegisterTextResourcesTranslator();

} // namespace qor
