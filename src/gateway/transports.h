// The transport factory: the one place that knows every transport.
//
// A transport's settings are one alternative of transport_options, whose index is
// the transport's mode (SMS_GSM ... SMS_ROBOT); transport_open starts the transport
// the alternative names. Nothing below the gateway includes every transport, so the
// SMS side does not depend on the mail side.
//
// Ownership: transport_open hands the caller the transport, which stops and joins its
// threads when it is destroyed; the options are only read during the call.
//
//   auto opts = delivery_init(ini, SMS_SMPP);
//   Result<std::unique_ptr<SmsTransport>> t = transport_open(*opts);
//   if (!t) report("%s", t.error().reason.c_str());
#pragma once

#include <memory>
#include <type_traits>
#include <variant>

#include "smtp/engine.h"
#include "sms/sms_gsm.h"
#include "sms/sms_robot.h"
#include "sms/sms_smpp.h"
#include "sms/transport.h"

namespace tolvane {

// The XML transport takes no settings.
struct xml_init {};

using transport_options = std::variant<gsm_init, smpp_init, xml_init, smtp_init, robot_init>;
static_assert(std::is_same_v<std::variant_alternative_t<SMS_GSM, transport_options>, gsm_init>);
static_assert(std::is_same_v<std::variant_alternative_t<SMS_SMPP, transport_options>, smpp_init>);
static_assert(std::is_same_v<std::variant_alternative_t<SMS_XML, transport_options>, xml_init>);
static_assert(std::is_same_v<std::variant_alternative_t<SMS_SMTP, transport_options>, smtp_init>);
static_assert(std::is_same_v<std::variant_alternative_t<SMS_ROBOT, transport_options>, robot_init>);
static_assert(std::variant_size_v<transport_options> == SMS_MODES);

// The mode the options start.
inline int transport_mode(const transport_options& o) {
    return static_cast<int>(o.index());
}

// False for a mode whose transport is not part of this build, and for SMS_NONE and beyond.
bool transport_built(int mode);

// Starts the transport the options name: the transport, or why it could not be started
// (a mode not built: code -1; else the transport's own code and text).
Result<std::unique_ptr<SmsTransport>> transport_open(const transport_options& o);

}  // namespace tolvane
