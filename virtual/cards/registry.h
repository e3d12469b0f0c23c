// The kinds of card the virtual reader emulates, each by the one name that
// scenario files ("type") and state files ("kind") give it. A new kind of card
// is a file of its own in this folder and one line in registry.cpp.
#pragma once

#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "virtual/card.h"
#include "virtual/cards/entry.h"

namespace zelvorn::virt {

// Changes a state file asks for, each checked before any is made.
using StateChanges = std::vector<std::function<void()>>;

struct CardKind {
    const char* name;         // e.g. "mifare-classic-1k"
    const char* description;  // e.g. "MIFARE Classic 1K"
    // The card a scenario entry describes; faults raise the scenario's error.
    std::unique_ptr<Card> (*fromScenario)(const Entry& entry);
    // The card's memory as a state entry, and back from one; both null for a
    // card whose memory is not kept between runs.
    void (*saveState)(const Card& card, Json& entry);
    void (*loadState)(Card& card, const Entry& entry, StateChanges& changes);
    // The name state files of earlier releases gave the kind, still read.
    const char* formerStateName = nullptr;
};

// Every kind, in the order the documentation lists them.
std::span<const CardKind* const> CardKinds();
// The kind of a name, or null.
const CardKind* CardKind_Named(std::string_view name);

}  // namespace zelvorn::virt
