// Serial ports on Windows (the KERNEL32 communications calls): the port operations, and opening
// a COM port with the standard line settings. Every COM port is opened by its device name
// "\\.\COMn": the bare name "COMn" reaches only COM1 to COM9.
//
// The port is opened for synchronous (not overlapped) I/O. The reader thread blocks in
// WaitCommEvent while other threads call WriteFile and SetCommMask on the same handle;
// SetCommMask releases that wait. Under Wine the wait also returns every few milliseconds with
// no events, which the reader treats as nothing to do.
#include <windows.h>
#include <mmsystem.h>

#include <atomic>
#include <string>

#include "transport/port_open.h"
#include "transport/reader_platform.h"

struct SerialPort {
    HANDLE handle;
    std::atomic<bool> txPending{false};  // bytes were written and their transmit-empty not reported
};

namespace {

// The configuration record's size as the platform defines it (COMMCONFIG with its DCB).
constexpr DWORD kCommConfigSize = 52;
static_assert(sizeof(COMMCONFIG) == kCommConfigSize, "COMMCONFIG layout");

bool readLineConfig(HANDLE handle, COMMCONFIG* config)
{
    ZeroMemory(config, sizeof *config);
    DWORD size = kCommConfigSize;
    config->dwSize = kCommConfigSize;
    return GetCommConfig(handle, config, &size) != 0;
}

// The standard line settings: 19200 8N1, no flow control, DTR and RTS held off. The other
// DCB fields and flag bits stay as the port reported them.
void applyStandardLineSettings(DCB* dcb)
{
    dcb->BaudRate = 19200;
    dcb->ByteSize = 8;
    dcb->Parity = NOPARITY;
    dcb->StopBits = ONESTOPBIT;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
}

// Reads return at once with what has arrived, so that a read can never wait for bytes that a
// purge on another thread took away. A write that cannot go out within its line time plus a
// second fails instead of holding the engine forever.
bool applyTimeouts(HANDLE handle)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.WriteTotalTimeoutMultiplier = 2;   // ms per byte: 10 bits at 19200 take 0.52 ms
    timeouts.WriteTotalTimeoutConstant = 1000;
    return SetCommTimeouts(handle, &timeouts) != 0;
}

bool portWrite(SerialPort* port, const uint8_t* bytes, uint32_t length)
{
    // Owed before the bytes go out: a transmit-empty reported while WriteFile still returns
    // must not find nothing owed and be dropped.
    port->txPending.store(true);
    DWORD written = 0;
    return WriteFile(port->handle, bytes, length, &written, nullptr) && written == length;
}

// Bytes have arrived and nothing written is left in the output queue.
bool answerWaitingAfterWrite(SerialPort* port)
{
    DWORD errors = 0;
    COMSTAT status = {};
    return ClearCommError(port->handle, &errors, &status) && status.cbInQue > 0 && status.cbOutQue == 0;
}

// The transport's event bits are handed to SetCommMask and taken from WaitCommEvent as they
// are: they must be Windows' own.
static_assert(kEventRxChar == EV_RXCHAR && kEventTxEmpty == EV_TXEMPTY,
              "transport event bits must equal EV_RXCHAR and EV_TXEMPTY");

void portSetEventMask(SerialPort* port, uint32_t mask) { SetCommMask(port->handle, mask); }

// One transmit-empty per write. Under Wine on a pty, EV_TXEMPTY can come after the answer to
// the frame just written (reported as EV_RXCHAR, or found by a wait that returned with no
// event); the engine would then drain the answer as if it had crossed the frame. So bytes
// that are waiting while a transmit-empty is owed, with nothing left in the output queue,
// report it with them (the reader handles transmit-empty first), and the late EV_TXEMPTY,
// owed nothing any more, is dropped.
bool portWaitEvent(SerialPort* port, uint32_t* events)
{
    DWORD mask = 0;
    if (!WaitCommEvent(port->handle, &mask, nullptr))
        return false;
    uint32_t found = mask & (EV_RXCHAR | EV_TXEMPTY);
    if ((found & EV_TXEMPTY) && !port->txPending.exchange(false))
        found &= ~static_cast<uint32_t>(EV_TXEMPTY);
    else if (!(found & EV_TXEMPTY) && port->txPending.load() && answerWaitingAfterWrite(port) &&
             port->txPending.exchange(false))
        found |= EV_TXEMPTY;
    *events = found;
    return true;
}

int32_t portBytesWaiting(SerialPort* port)
{
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(port->handle, &errors, &status))
        return -1;
    return static_cast<int32_t>(status.cbInQue);
}

int32_t portRead(SerialPort* port, uint8_t* buffer, uint32_t length)
{
    DWORD got = 0;
    if (!ReadFile(port->handle, buffer, length, &got, nullptr))
        return -1;
    return static_cast<int32_t>(got);
}

void portPurge(SerialPort* port)
{
    PurgeComm(port->handle, PURGE_RXCLEAR);
    PurgeComm(port->handle, PURGE_TXCLEAR);
}

void portSetSpeed(SerialPort* port, uint32_t baud)
{
    COMMCONFIG config;
    readLineConfig(port->handle, &config);
    config.dcb.BaudRate = baud;
    SetCommState(port->handle, &config.dcb);
}

void portClose(SerialPort* port)
{
    CloseHandle(port->handle);
    delete port;
}

const SerialPortOps win32Ops = {portWrite, portSetEventMask, portWaitEvent, portBytesWaiting,
                                portRead,  portPurge,        portSetSpeed,  portClose};

std::string openFailure(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return "no such serial port";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return "in use by another program";
    default: return "cannot be opened (Windows error " + std::to_string(error) + ")";
    }
}

// Opens the port's device for this program alone. INVALID_HANDLE_VALUE with the reason
// (without the port's name) in *why when it cannot.
HANDLE openHandle(const std::string& name, std::string* why)
{
    const std::string device = portDevicePath(name);
    if (device.empty()) {
        *why = "not a COM port name (COM1, COM2, ... COM256)";
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        *why = openFailure(GetLastError());
    return handle;
}

}  // namespace

const SerialPortOps* platformPortOps() { return &win32Ops; }

// Windows has no per-open request: an FTDI adapter's timer is its driver's setting
// (port_discovery_win32.cpp reads it).
std::string portLatencyNote(const SerialPort*) { return {}; }

SerialPort* openSerialPort(const char* name, std::string* error)
{
    std::string reason;
    const std::string given = name ? name : "";
    HANDLE handle = openHandle(given, &reason);
    if (handle == INVALID_HANDLE_VALUE) {
        if (error)
            *error = given + ": " + reason;
        return nullptr;
    }
    COMMCONFIG config;
    if (!readLineConfig(handle, &config)) {
        // Nothing reported to keep: start from a binary-mode DCB.
        config.dcb.DCBlength = sizeof(DCB);
        config.dcb.fBinary = TRUE;
    }
    applyStandardLineSettings(&config.dcb);
    if (!SetCommState(handle, &config.dcb) || !applyTimeouts(handle)) {
        if (error)
            *error = given + ": the line settings could not be applied";
        CloseHandle(handle);
        return nullptr;
    }
    return new SerialPort{handle};
}

bool probeSerialPort(const std::string& name, std::string* reason)
{
    std::string why;
    HANDLE handle = openHandle(name, &why);
    if (handle == INVALID_HANDLE_VALUE) {
        if (reason)
            *reason = why;
        return false;
    }
    CloseHandle(handle);
    return true;
}

// "COMn" or its device form "\\.\COMn", any n from 1: the device form. Empty for other names.
std::string portDevicePath(const std::string& name)
{
    std::string bare = name;
    if (bare.compare(0, 4, "\\\\.\\") == 0)
        bare = bare.substr(4);
    if (bare.size() < 4 || (bare.compare(0, 3, "COM") != 0 && bare.compare(0, 3, "com") != 0))
        return "";
    for (size_t i = 3; i < bare.size(); ++i) {
        if (bare[i] < '0' || bare[i] > '9')
            return "";
    }
    if (bare[3] == '0')
        return "";
    return "\\\\.\\COM" + bare.substr(3);
}

void raiseReaderPriority()
{
    // The engine's waits pause a millisecond at a time. At Windows' default timer tick (about
    // 15.6 ms) the 10 ms before the speed switch would stretch towards the handset's answer at
    // the new speed; the finer tick is asked for once and kept until the process ends.
    static const bool fineTimer = timeBeginPeriod(1) == TIMERR_NOERROR;
    (void)fineTimer;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
}
