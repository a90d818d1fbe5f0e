// Values of the player's settings and of the server's directive settings.
// The message prefix lives in the game interface record, where the host
// reads it; everything else lives here.
#pragma once

#include <cstdint>

namespace qx::console {

struct Settings {
  // Player settings (qx_...).
  int32_t security;     // qx_Security, yes/no
  int32_t sleep;        // qx_Sleep, 20..500 ms between due frames
  int32_t logToFile;    // qx_LogToFile, yes/no
  int32_t ssLog;        // qx_SsLog, yes/no
  int32_t ssSave;       // qx_SsSave, yes/no
  char regNameFn[256];  // qx_RegNameFn
  char regNamePw[32];   // qx_RegNamePw
  char logUser[32];     // qx_LogUser
  char logPw[32];       // qx_LogPw
  char logAddr[128];    // qx_LogAddr
  int32_t logPort;      // qx_LogPort, 1..65535 once set

  // Directive settings (set by the server, some saved in qxsys.cfg).
  int32_t forceOob;    // qx_forceoob
  int32_t system;      // QX_SYSTEM
  int32_t netPort;     // QX_NETPORT: port of the client's UDP socket
  int32_t logMd5Tool;  // QX_LOGMD5TOOL
  int32_t lan;         // QX_LAN
  char autoExec[32];   // QX_AUTOEXEC
  int32_t ignore;      // QX_IGNORE: no exception notice when 1
  int32_t auxPort;     // protocol::kAuxPortSetting, 0..65535, kept for
                       // the server; nothing in the client reads it

  // Local screenshot options (qx_SsOptions), saved by qx_WriteCfg in this
  // order. All start at 0.
  struct ScreenshotOptions {
    int32_t width;
    int32_t height;
    int32_t x;  // percent
    int32_t y;  // percent
    int32_t sampleRate;
  } ssOptions;
};

}  // namespace qx::console
