// The methods of EasyMailer, each described once: parameters, defaults,
// annotation strings, docstring and body.  The binder derives its exact-type
// tests from the annotations.
#include "function.hpp"

#include <array>

namespace corvenda {

namespace {

constexpr const char* recipients_ann = "Union[str, List[str]]";
constexpr const char* optional_recipients_ann = "Optional[Union[str, List[str]]]";
constexpr const char* attachments_ann = "Optional[List[Union[str, Dict]]]";

constexpr Param init_params[] = {
    {"self", nullptr},
    {"host", "str"},
    {"port", "int"},
    {"username", "str"},
    {"password", "str"},
    {"use_ssl", "bool"},
    {"use_tls", "bool"},
    {"default_sender", "Optional[str]"},
    {"template_dir", "Optional[str]"},
};
constexpr Default init_defaults[] = {Default::True, Default::False, Default::None, Default::None};

constexpr Param send_params[] = {
    {"self", nullptr},
    {"to", recipients_ann},
    {"subject", "str"},
    {"body", "Optional[str]"},
    {"html", "Optional[str]"},
    {"cc", optional_recipients_ann},
    {"bcc", optional_recipients_ann},
    {"sender", "Optional[str]"},
    {"sender_name", "Optional[str]"},
    {"attachments", attachments_ann},
    {"reply_to", "Optional[str]"},
};

constexpr Param send_template_params[] = {
    {"self", nullptr},
    {"to", recipients_ann},
    {"subject", "str"},
    {"template_name", "str"},
    {"context", "Optional[dict]"},
    {"cc", optional_recipients_ann},
    {"bcc", optional_recipients_ann},
    {"sender", "Optional[str]"},
    {"sender_name", "Optional[str]"},
    {"attachments", attachments_ann},
    {"reply_to", "Optional[str]"},
};

constexpr Param build_message_params[] = {
    {"self", nullptr},
    {"to", recipients_ann},
    {"subject", "str"},
    {"body", "Optional[str]"},
    {"html", "Optional[str]"},
    {"cc", optional_recipients_ann},
    {"sender", "Optional[str]"},
    {"sender_name", "Optional[str]"},
    {"attachments", attachments_ann},
    {"reply_to", "Optional[str]"},
};

constexpr Param attach_file_params[] = {{"msg", "MIMEMultipart"}, {"filepath", "str"}};
constexpr Param attach_binary_params[] = {{"msg", "MIMEMultipart"}, {"item", "Dict"}};
constexpr Param collect_recipients_params[] = {
    {"to", recipients_ann},
    {"cc", optional_recipients_ann},
    {"bcc", optional_recipients_ann},
};
constexpr Param do_send_params[] = {
    {"self", nullptr},
    {"msg", "MIMEMultipart"},
    {"recipients", "List[str]"},
    {"sender", "str"},
};

constexpr Default seven_none[] = {Default::None, Default::None, Default::None, Default::None,
                                  Default::None, Default::None, Default::None};
constexpr Default eight_none[] = {Default::None, Default::None, Default::None, Default::None,
                                  Default::None, Default::None, Default::None, Default::None};

constexpr const char* init_doc =
    "\n"
    "        初始化邮件发送器。\n"
    "\n"
    "        参数说明：\n"
    "            host: SMTP 服务器地址\n"
    "            port: SMTP 服务器端口(465 对应SSL加密,587对应TLS加密,25为无加密明文端口)\n"
    "            username: SMTP 登录账号\n"
    "            password: SMTP 登录密码\n"
    "            use_ssl: 是否启用SSL连接(通常搭配465端口使用)\n"
    "            use_tls: 是否启用STARTTLS加密升级(通常搭配587端口使用),不可与use_ssl同时开启\n"
    "            default_sender: 默认发件邮箱,未配置时将使用登录账号username作为发件人\n"
    "            template_dir: 自定义邮件模板目录路径;传None则使用内置模板\n"
    "        ";

constexpr const char* send_doc =
    "\n"
    "        发送邮件。\n"
    "\n"
    "        参数说明：\n"
    "            to: 收件人邮箱（可多个）\n"
    "            subject: 邮件主题\n"
    "            body: 纯文本正文\n"
    "            html: HTML格式正文,若同时传入body与html,优先使用html内容\n"
    "            cc: 抄送邮箱列表\n"
    "            bcc: 密送邮箱列表\n"
    "            sender: 发件人邮箱，会覆盖默认发件人配置\n"
    "            sender_name: 发件人对外显示名称\n"
    "            attachments: 附件列表，列表元素支持两种格式：\n"
    "                - 字符串：待附加文件的本地路径\n"
    "                - 字典：{\"filename\": \"name.png\", \"data\": bytes, \"content_type\": \"image/png\"}\n"
    "                (content_type 选填，未指定时将根据文件名自动识别文件类型)\n"
    "            reply_to: 回复收件邮箱地址\n"
    "        ";

constexpr const char* send_template_doc =
    "\n"
    "        使用模板发送邮件。\n"
    "\n"
    "        参数说明：\n"
    "            to: 收件人邮箱地址（支持多个地址）\n"
    "            subject: 邮件主题（同样支持通过 context 传入 Jinja2 变量渲染）\n"
    "            template_name: 模板名称（无需填写文件后缀）\n"
    "            context: 用于渲染模板的变量字典\n"
    "            cc: 抄送邮箱列表\n"
    "            bcc: 密送邮箱列表\n"
    "            sender: 发件人邮箱地址\n"
    "            sender_name: 发件人展示名称\n"
    "            attachments: 附件列表，列表内元素支持两种格式：\n"
    "                - 字符串：本地文件路径，直接作为附件上传\n"
    "                - 字典：{\"filename\": \"name.png\", \"data\": bytes, \"content_type\": \"image/png\"}\n"
    "                (content_type 为选填项，不传时会根据文件名自动识别文件类型)\n"
    "            reply_to: 回复邮箱地址\n"
    "        ";

constexpr const char* attach_binary_doc =
    "Attach binary data.\n"
    "\n"
    "        Args:\n"
    "            {\"filename\": \"name.png\", \"data\": bytes, \"content_type\": \"image/png\"}\n"
    "                  content_type is optional, auto-detected from filename.\n"
    "        ";

const std::array<MethodInfo, 8> methods = {{
    {"__init__", false, init_params, init_defaults, nullptr, init_doc, mailer_init},
    {"send", false, send_params, eight_none, "None", send_doc, mailer_send},
    {"send_template", false, send_template_params, seven_none, "None", send_template_doc, mailer_send_template},
    {"_build_message", false, build_message_params, {}, "MIMEMultipart", nullptr, mailer_build_message},
    {"_attach_file", true, attach_file_params, {}, "None", "Attach a file from a file path.", mailer_attach_file},
    {"_attach_binary", true, attach_binary_params, {}, "None", attach_binary_doc, mailer_attach_binary},
    {"_collect_recipients", true, collect_recipients_params, {}, "List[str]", nullptr, mailer_collect_recipients},
    {"_do_send", false, do_send_params, {}, "None", nullptr, mailer_do_send},
}};

static_assert(std::size(send_params) <= max_params && std::size(send_template_params) <= max_params);

}  // namespace

std::span<const MethodInfo> mailer_methods() { return methods; }

}  // namespace corvenda
