// The VozozUdade counter handlers (6631-6635).
// Requests layer: calls the handler conventions, the counters (config) and the log.
#include "requests/counter_handlers.h"

#include <optional>
#include <string>

#include "config/config_model.h"
#include "config/counters.h"
#include "foundation/log/ring_log.h"
#include "requests/handler_conventions.h"

namespace {

// The environment a counter request names: "Live" when the name is absent or
// empty (the settings operations would refuse an empty name with 17).
const char* CounterEnvironment(const std::optional<std::string>& name) {
  return name && !name->empty() ? name->c_str() : kLiveEnvironmentName;
}

// Reads `count` wire integers in order; false at the first that fails.
bool RecvCounterInts(int sock, int32_t* values, int count) {
  for (int i = 0; i < count; ++i) {
    if (!RecvArgInt(sock, &values[i])) return false;
  }
  return true;
}

// Reads the environment name under the echo rule, logging a failure with
// `failedLog` when given and a failed echo with `echoLog`. False when the
// handler ends.
bool RecvCounterEnvironment(int sock, std::optional<std::string>& name, const char* failedLog,
                            const char* echoLog) {
  WireStatus status = WIRE_OK;
  name = RecvArgString(sock, &status);
  if (status == WIRE_OK) return true;
  if (failedLog != nullptr) WriteLog(1, "%s", failedLog);
  if (status == WIRE_NO_MEMORY && !SendReplyStatus(sock, FR_NO_MEMORY)) WriteLog(1, "%s", echoLog);
  return false;
}

}  // namespace

int IPIncrementGreenDataValues(int sock) {
  int32_t v[3] = {};  // docType, pageInc, docInc
  if (!RecvCounterInts(sock, v, 3)) {
    WriteLog(1, "IPIncrementGreenDataValues:Unable to get data from client");
    return FR_COMMS_ERROR;
  }
  std::optional<std::string> env;
  if (!RecvCounterEnvironment(sock, env, "IPIncrementGreenDataValues:Unable to get environment from client",
                              "IPIncrementGreenDataValues:Error sending error code to client")) {
    return FR_COMMS_ERROR;
  }
  int code = IncrementGreenDataValues(CounterEnvironment(env), v[0], v[1], v[2]);
  if (!SendReplyStatus(sock, code)) WriteLog(1, "IPIncrementGreenDataValues:Unable to send result back to client");
  return code;
}

int IPSetGreenDataValues(int sock) {
  int32_t v[4] = {};  // timeGroup, docType, pageValue, docValue
  if (!RecvCounterInts(sock, v, 4)) {
    WriteLog(1, "IPSetGreenDataValues:Unable to get data from client");
    return FR_COMMS_ERROR;
  }
  std::optional<std::string> env;
  if (!RecvCounterEnvironment(sock, env, nullptr, "IPSetGreenDataValues:Error sending error code to client")) {
    return FR_COMMS_ERROR;
  }
  int code = SetGreenDataValues(CounterEnvironment(env), v[0], v[1], v[2], v[3]);
  if (!SendReplyStatus(sock, code)) WriteLog(1, "IPSetGreenDataValues:Unable to send result back to client");
  return code;
}

int IPGetGreenDataValues(int sock) {
  std::optional<std::string> env;
  if (!RecvCounterEnvironment(sock, env, nullptr, "IPGetGreenDataValues:Error sending error code to client")) {
    return FR_COMMS_ERROR;
  }
  int32_t version = 0;
  if (!RecvArgInt(sock, &version)) {
    WriteLog(1, "IPGetGreenDataValues:Unable to get version from client");
    return FR_COMMS_ERROR;
  }
  if (version != 1) {
    if (!SendReplyStatus(sock, FR_INVALID_VERSION)) {
      WriteLog(1, "IPGetGreenDataValues:Unable to send invalid version message to client");
    }
    return FR_INVALID_VERSION;
  }
  GreenDataBlock block;
  int code = GetGreenDataValues(CounterEnvironment(env), &block);
  if (code != FR_OK) {
    if (!SendReplyStatus(sock, code)) WriteLog(1, "IPGetGreenDataValues:Unable to send result code to client");
    return code;
  }
  // The code and the block in one run: 0, then the 140 bytes with no size word.
  unsigned char reply[4 + kGreenDataBlockSize];
  PutLE32(reply, 0);
  EncodeGreenDataBlock(block, reply + 4);
  int sent = SendAll(sock, reply, static_cast<int>(sizeof reply), 0);
  if (sent != static_cast<int>(sizeof reply)) {
    WriteLog(1, sent < 4 ? "IPGetGreenDataValues:Unable to send result code to client"
                         : "IPGetGreenDataValues:Error sending values to client");
    return FR_COMMS_ERROR;
  }
  return FR_OK;
}

int IPInitGreenData(int sock) {
  int code = InitGreenData();
  if (!SendReplyStatus(sock, code)) WriteLog(1, "IPInitGreenData:Error sending result to client");
  return code;
}

int IPResetGreenAdHocCounts(int sock) {
  std::optional<std::string> env;
  if (!RecvCounterEnvironment(sock, env, nullptr,
                              "IPResetGreenAdHocCounts:Error sending failed to get environment error to client")) {
    return FR_COMMS_ERROR;
  }
  int code = ResetGreenAdHocCounts(CounterEnvironment(env));
  if (!SendReplyStatus(sock, code)) WriteLog(1, "IPResetGreenAdHocCounts:Error sending result to client");
  return code;
}
