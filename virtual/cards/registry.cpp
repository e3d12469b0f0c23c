#include "virtual/cards/registry.h"

#include "virtual/cards/ask_ticket.h"
#include "virtual/cards/mifare_classic.h"
#include "virtual/cards/processor_card.h"
#include "virtual/cards/type2_tag.h"
#include "virtual/cards/type_b_card.h"

namespace zelvorn::virt {
namespace {

constexpr const CardKind* kKinds[] = {
    &kMifareClassic1K, &kMifareClassic4K, &kProcessorCardKind, &kTypeBCardKind,
    &kAskTicketKind,   &kUltralight,      &kUltralightEv1_48,  &kUltralightEv1_128,
    &kNtag213,         &kNtag215,         &kNtag216,
};

}  // namespace

std::span<const CardKind* const> CardKinds() {
    return kKinds;
}

const CardKind* CardKind_Named(std::string_view name) {
    for (const CardKind* kind : kKinds) {
        if (name == kind->name) return kind;
    }
    return nullptr;
}

}  // namespace zelvorn::virt
