#include "admin/EditorChecks.h"

#include <fmt/printf.h>

#include "admin/AccountTexts.h"

namespace tw::admin {

namespace {

using F = AccountField;

// The label a field is known by, without its colon.
std::string FieldName(AccountField field) {
    std::string label;
    switch (field) {
        case F::UserName: label = kUserNameLabel; break;
        case F::Password: label = kPasswordLabel; break;
        case F::Email: label = kEmailLabel; break;
        case F::Groups: label = kGroupsLabel; break;
        case F::Home: label = kHomeLabel; break;
        case F::GroupName: case F::FolderName: label = kNameLabel; break;
        case F::Notes: label = kNotesLabel; break;
        case F::FolderDir: label = kPathLabel; break;
        case F::Expiry: return kExpiryLabel;
        case F::DownloadSpeed: return kDownloadSpeed;
        case F::UploadSpeed: return kUploadSpeed;
        case F::QuotaMax: return kQuotaMax;
        case F::QuotaCurrent: return kQuotaCurrent;
        case F::None: return {};
    }
    return label.substr(0, label.rfind(':'));
}

const char* InvalidText(AccountField field) {
    switch (field) {
        case F::FolderName: return kFolderNameInvalid;
        case F::FolderDir: return kFolderPathInvalid;
        case F::DownloadSpeed: return kDownloadSpeedInvalid;
        case F::UploadSpeed: return kUploadSpeedInvalid;
        case F::QuotaMax: return kQuotaMaxInvalid;
        case F::QuotaCurrent: return kQuotaCurrentInvalid;
        case F::Expiry: return kExpiryInvalid;
        default: return nullptr;
    }
}

}  // namespace

std::string MessageOf(const AccountStatus& status, FolderOwner owner) {
    const char* const saveFailed = owner == FolderOwner::User ? kCannotSaveUser : kCannotSaveGroup;
    switch (status.fault) {
        case AccountFault::None: return {};
        case AccountFault::Empty:
            if (status.field == F::UserName) return kUserNameEmpty;
            if (status.field == F::Home) return kHomeEmpty;
            if (status.field == F::GroupName) return kNameEmpty;
            if (status.field == F::FolderName) return kEnterName;
            if (status.field == F::FolderDir) return kChoosePath;
            break;
        case AccountFault::TooLong: return fmt::sprintf(kTooLong, FieldName(status.field), status.limit);
        case AccountFault::Invalid:
            if (const char* text = InvalidText(status.field)) return text;
            break;
        case AccountFault::Exists:
            if (status.field == F::UserName) return kUserExists;
            if (status.field == F::GroupName) return kGroupExists;
            if (status.field == F::FolderName) return kFolderExists;
            break;
        case AccountFault::NoDirectory: return kDirectoryMissing;
        case AccountFault::FolderTable: return kCannotCreateDataFile;
        case AccountFault::Unknown:
        case AccountFault::Table: break;
    }
    return saveFailed;
}

FormCheck CheckOf(const AccountStatus& status, FolderOwner owner) {
    if (status) return {};
    const std::string text = MessageOf(status, owner);
    return status.fault == AccountFault::NoDirectory ? FormCheck::Ask(status.field, text)
                                                     : FormCheck::Refuse(status.field, text);
}

}  // namespace tw::admin
