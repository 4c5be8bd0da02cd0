// What the account editors make of a check: go on, refuse with a message and the field to focus, or ask
// the administrator first. The one place that turns an AccountStatus into the editors' Chinese texts.
#pragma once

#include <string>

#include "accounts/Accounts.h"

namespace tw::admin {

struct FormCheck {
    enum class Kind { Ok, Refused, Ask };
    Kind kind = Kind::Ok;
    AccountField field = AccountField::None;  // where the focus goes
    std::string text;

    explicit operator bool() const { return kind == Kind::Ok; }
    static FormCheck Refuse(AccountField field, std::string text) { return {Kind::Refused, field, std::move(text)}; }
    static FormCheck Ask(AccountField field, std::string text) { return {Kind::Ask, field, std::move(text)}; }
};

// The editors' text for a failed account operation; `owner` is whose editor shows it (a table fault
// reads "无法保存用户" or "无法保存组").
std::string MessageOf(const AccountStatus& status, FolderOwner owner);
// A failed status as a refusal (a missing directory as a question), success as Ok.
FormCheck CheckOf(const AccountStatus& status, FolderOwner owner);

}  // namespace tw::admin
