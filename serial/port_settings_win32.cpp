// The settings of a Windows COM port: its DCB and COMMTIMEOUTS as they are.
#include <windows.h>

#include "serial/port_settings.h"

void serial_read_port_settings(intptr_t handle, PortSettings* out) {
  *out = PortSettings{};
  const HANDLE device = reinterpret_cast<HANDLE>(handle);
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  if (!GetCommState(device, &dcb)) return;
  out->stateRead = true;
  const int32_t values[PS_STATE_COUNT] = {
      static_cast<int32_t>(dcb.DCBlength),
      static_cast<int32_t>(dcb.BaudRate),
      static_cast<int32_t>(dcb.fBinary),
      static_cast<int32_t>(dcb.fParity),
      static_cast<int32_t>(dcb.fOutxCtsFlow),
      static_cast<int32_t>(dcb.fDtrControl),
      static_cast<int32_t>(dcb.fDsrSensitivity),
      static_cast<int32_t>(dcb.fTXContinueOnXoff),
      static_cast<int32_t>(dcb.fOutX),
      static_cast<int32_t>(dcb.fInX),
      static_cast<int32_t>(dcb.fErrorChar),
      static_cast<int32_t>(dcb.fNull),
      static_cast<int32_t>(dcb.fRtsControl),
      static_cast<int32_t>(dcb.fAbortOnError),
      static_cast<int32_t>(dcb.fDummy2),
      static_cast<int32_t>(dcb.wReserved),
      static_cast<int32_t>(dcb.XonLim),
      static_cast<int32_t>(dcb.XoffLim),
      static_cast<int32_t>(dcb.ByteSize),
      static_cast<int32_t>(dcb.Parity),
      static_cast<int32_t>(dcb.StopBits),
      static_cast<int32_t>(static_cast<signed char>(dcb.XonChar)),
      static_cast<int32_t>(static_cast<signed char>(dcb.XoffChar)),
      static_cast<int32_t>(static_cast<signed char>(dcb.ErrorChar)),
      static_cast<int32_t>(static_cast<signed char>(dcb.EofChar)),
      static_cast<int32_t>(static_cast<signed char>(dcb.EvtChar)),
      static_cast<int32_t>(dcb.wReserved1),
  };
  for (int i = 0; i < PS_STATE_COUNT; ++i) out->state[i].value = values[i];

  COMMTIMEOUTS timeouts{};
  if (!GetCommTimeouts(device, &timeouts)) return;
  out->timeoutsRead = true;
  out->timeouts[PT_READ_INTERVAL].value = static_cast<int32_t>(timeouts.ReadIntervalTimeout);
  out->timeouts[PT_READ_MULTIPLIER].value =
      static_cast<int32_t>(timeouts.ReadTotalTimeoutMultiplier);
  out->timeouts[PT_READ_CONSTANT].value = static_cast<int32_t>(timeouts.ReadTotalTimeoutConstant);
  out->timeouts[PT_WRITE_MULTIPLIER].value =
      static_cast<int32_t>(timeouts.WriteTotalTimeoutMultiplier);
  out->timeouts[PT_WRITE_CONSTANT].value = static_cast<int32_t>(timeouts.WriteTotalTimeoutConstant);
}
