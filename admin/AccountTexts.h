// Every text of the account editors: captions, labels and the messages of their checks.
#pragma once

namespace tw::admin {

// Captions.
inline constexpr const char* kUserEditorCaption = "用户帐号";
inline constexpr const char* kGroupEditorCaption = "组";
inline constexpr const char* kGroupSelectCaption = "组选择";
inline constexpr const char* kFolderDialogCaption = "虚拟目录";
inline constexpr const char* kBrowseTitle = "请选择一个目录:";

// Tabs.
inline constexpr const char* kAccountTab = "帐号";
inline constexpr const char* kFoldersTab = "虚拟目录";
inline constexpr const char* kLimitsTab = "限制";
inline constexpr const char* kGroupTab = "组";

// Buttons.
inline constexpr const char* kSave = "保存";
inline constexpr const char* kCancel = "取消";
inline constexpr const char* kOk = "确定";
inline constexpr const char* kAdd = "加入...";
inline constexpr const char* kEdit = "编辑...";
inline constexpr const char* kDelete = "删除";
inline constexpr const char* kBrowse = "...";
inline constexpr const char* kMoveUp = "上";
inline constexpr const char* kMoveDown = "下";

// The account page.
inline constexpr const char* kEnableAccount = "允许此帐号";
inline constexpr const char* kUserNameLabel = "用户名:";
inline constexpr const char* kPasswordLabel = "密码:";
inline constexpr const char* kShowPassword = "显示密码";
inline constexpr const char* kHashPassword = "以哈希保存密码";
inline constexpr const char* kPasswordUnchanged = "(不变)";
inline constexpr const char* kGroupsLabel = "组:";
inline constexpr const char* kHomeLabel = "主目录:";
inline constexpr const char* kEmailLabel = "电子邮件:";
inline constexpr const char* kExpiryLabel = "自动禁止此帐号于";

// The nine rights in the order of their boxes: the file rights, then the directory rights.
inline constexpr const char* kFileRights = "文件权限";
inline constexpr const char* kDirRights = "目录权限";
inline constexpr const char* kRead = "读取";
inline constexpr const char* kWrite = "写入";
inline constexpr const char* kRightDelete = "删除";
inline constexpr const char* kRename = "更名";
inline constexpr const char* kAppend = "追加";
inline constexpr const char* kList = "显示";
inline constexpr const char* kCreate = "创建";
inline constexpr const char* kRemove = "删除";
inline constexpr const char* kDirRename = "更名";

// The limits page.
inline constexpr const char* kDownloadLimit = "下载限制";
inline constexpr const char* kDownloadSpeed = "最大下载速度";
inline constexpr const char* kUploadLimit = "上传限制";
inline constexpr const char* kUploadSpeed = "最大上传速度";
inline constexpr const char* kSpeedUnit = "KB/秒";
inline constexpr const char* kQuotaMax = "最大配额";
inline constexpr const char* kQuotaCurrent = "当前配额";
inline constexpr const char* kKbUnit = "KB";

// The group page and the folder dialog.
inline constexpr const char* kNameLabel = "名称:";
inline constexpr const char* kNotesLabel = "注释:";
inline constexpr const char* kPathLabel = "路径:";

// Columns of the folder list.
inline constexpr const char* kFolderNameColumn = "名称";
inline constexpr const char* kFolderPathColumn = "路径";
inline constexpr const char* kFolderRightsColumn = "权限";
inline constexpr const char* kFolderGroupColumn = "组";

// Messages.
inline constexpr const char* kUserNameEmpty = "用户名不能为空!";
inline constexpr const char* kHomeEmpty = "主目录不能为空!";
inline constexpr const char* kNameEmpty = "名称不能为空!";
inline constexpr const char* kUserExists = "用户名已存在!";
inline constexpr const char* kGroupExists = "组名已存在!";
inline constexpr const char* kFolderExists = "已有同名的虚拟目录!";
inline constexpr const char* kFolderNameInvalid = "名称不能是 . 或 .., 也不能含有 / 、\\ 或控制字符!";
inline constexpr const char* kFolderPathInvalid = "路径必须是以 / 开头的绝对路径!";
inline constexpr const char* kDownloadSpeedInvalid = "最大下载速度必须是 0 到 2147483647 之间的整数!";
inline constexpr const char* kUploadSpeedInvalid = "最大上传速度必须是 0 到 2147483647 之间的整数!";
inline constexpr const char* kQuotaMaxInvalid = "最大配额必须是不小于 0 的数字!";
inline constexpr const char* kQuotaCurrentInvalid = "当前配额必须是不小于 0 的数字!";
inline constexpr const char* kExpiryInvalid = "日期无效!";
// printf form: the field's name and its width in bytes.
inline constexpr const char* kTooLong = "%s不能超过 %d 个字节!";
inline constexpr const char* kCannotSaveUser = "无法保存用户";
inline constexpr const char* kCannotSaveGroup = "无法保存组";
inline constexpr const char* kCannotLoadUser = "无法读取用户";
inline constexpr const char* kCannotLoadGroup = "无法读取组";
inline constexpr const char* kCannotCreateDataFile = "无法创建数据文件!";
inline constexpr const char* kDirectoryMissing = "目录不存在，仍然保存吗?";
inline constexpr const char* kEnterName = "请输入名称!";
inline constexpr const char* kChoosePath = "请选择路径!";
inline constexpr const char* kDeleteFolderQuestion = "你真的要删除此虚拟目录吗?";

}  // namespace tw::admin
