#pragma once

#include <utility>

namespace brightfold {

/// A model's property written once: sets `member` to `value` and emits `changed`
/// on `owner` when the value differs. True when it changed.
template<typename Owner, typename Value, typename NewValue>
bool changeProperty(Owner* owner, Value& member, NewValue&& value, void (Owner::*changed)())
{
    if (member == value)
        return false;
    member = std::forward<NewValue>(value);
    emit(owner->*changed)();
    return true;
}

}
