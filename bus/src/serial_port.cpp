#include "kvx/bus/serial_port.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace kvx::bus {

using platform::DtrControl;
using platform::LineSettings;
using platform::Parity;
using platform::RtsControl;
using platform::StopBits;

namespace {
std::atomic<SerialDeviceOpener> g_opener{nullptr};
}  // namespace

SerialDeviceOpener SetSerialDeviceOpener(SerialDeviceOpener opener) {
    return g_opener.exchange(opener);
}

bool CSerialException::GetErrorMessage(char* text, unsigned capacity, unsigned* helpContext) const {
    if (helpContext) *helpContext = 0;
    std::string message;
    const bool ok = platform::systemErrorText(errorCode_, message);
    if (text && capacity > 0) {
        const std::size_t n = ok ? std::min<std::size_t>(message.size(), capacity - 1) : 0;
        std::memcpy(text, message.data(), n);
        text[n] = '\0';
    }
    return ok;
}

void CSerialPort::RaiseSerialError(std::uint32_t code) {
    if (code == 0) code = static_cast<std::uint32_t>(device_ ? device_->lastError() : lastError_);
    if (code == 0) code = EIO;
    throw CSerialException(code);
}

void CSerialPort::OpenPort(std::string_view portName, std::uint32_t baudRate, int parity,
                           std::uint8_t dataBits, int stopBits, int handshake, bool overlapped) {
    int error = 0;
    const SerialDeviceOpener opener = g_opener.load();
    device_ = opener ? opener(portName, error) : platform::SerialDevice::open(portName, error);
    if (!device_) {
        lastError_ = error;
        RaiseSerialError();
    }
    overlapped_ = overlapped;

    LineSettings dcb;
    GetLineSettings(dcb);
    dcb.baudRate = baudRate;
    switch (parity) {
        case EvenParity:
            dcb.parity = Parity::Even;
            break;
        case MarkParity:
            dcb.parity = Parity::Mark;
            break;
        case NoParity:
            dcb.parity = Parity::None;
            break;
        case OddParity:
            dcb.parity = Parity::Odd;
            break;
        case SpaceParity:
            dcb.parity = Parity::Space;
            break;
        default:
            break;  // keep what the device reported
    }
    dcb.byteSize = dataBits;
    switch (stopBits) {
        case OneStopBit:
            dcb.stopBits = StopBits::One;
            break;
        case OneAndHalfStopBits:
            dcb.stopBits = StopBits::OneAndHalf;
            break;
        case TwoStopBits:
            dcb.stopBits = StopBits::Two;
            break;
        default:
            break;
    }
    dcb.dsrSensitivity = false;
    switch (handshake) {
        case NoHandshake:
            dcb.outxCtsFlow = dcb.outxDsrFlow = false;
            dcb.outX = dcb.inX = false;
            // Without a handshake the RTS line is no longer a flow-control line.
            if (dcb.rtsControl == RtsControl::Handshake) dcb.rtsControl = RtsControl::Enable;
            break;
        case CtsRtsHandshake:
            dcb.outxCtsFlow = true;
            dcb.outxDsrFlow = false;
            dcb.rtsControl = RtsControl::Handshake;
            dcb.outX = dcb.inX = false;
            break;
        case CtsDtrHandshake:
            dcb.outxCtsFlow = true;
            dcb.outxDsrFlow = false;
            dcb.dtrControl = DtrControl::Handshake;
            dcb.outX = dcb.inX = false;
            break;
        case DsrRtsHandshake:
            dcb.outxCtsFlow = false;
            dcb.outxDsrFlow = true;
            dcb.rtsControl = RtsControl::Handshake;
            dcb.outX = dcb.inX = false;
            break;
        case DsrDtrHandshake:
            dcb.outxCtsFlow = false;
            dcb.outxDsrFlow = true;
            dcb.dtrControl = DtrControl::Handshake;
            dcb.outX = dcb.inX = false;
            break;
        case XonXoffHandshake:
            dcb.outxCtsFlow = dcb.outxDsrFlow = false;
            dcb.outX = dcb.inX = true;
            dcb.xonChar = 0x11;
            dcb.xoffChar = 0x13;
            dcb.xonLimit = 100;
            dcb.xoffLimit = 100;
            break;
        default:
            break;
    }
    SetLineSettings(dcb);
}

void CSerialPort::ClosePort() {
    if (!device_) return;
    device_->close();
    device_.reset();
    overlapped_ = false;
}

std::uint32_t CSerialPort::ReadBytes(void* buffer, std::uint32_t count) {
    if (!device_) RaiseSerialError(EBADF);
    std::size_t got = 0;
    if (!device_->read(buffer, count, got)) RaiseSerialError();
    return static_cast<std::uint32_t>(got);
}

std::uint32_t CSerialPort::WriteBytes(const void* buffer, std::uint32_t count) {
    if (!device_) RaiseSerialError(EBADF);
    std::size_t written = 0;
    if (!device_->write(buffer, count, written)) RaiseSerialError();
    return static_cast<std::uint32_t>(written);
}

void CSerialPort::GetLineSettings(LineSettings& settings) {
    if (!device_ || !device_->getLineSettings(settings)) RaiseSerialError(device_ ? 0 : EBADF);
}
void CSerialPort::SetLineSettings(const LineSettings& settings) {
    if (!device_ || !device_->setLineSettings(settings)) RaiseSerialError(device_ ? 0 : EBADF);
}
void CSerialPort::GetTimeoutSettings(platform::SerialTimeouts& timeouts) {
    if (!device_ || !device_->getTimeouts(timeouts)) RaiseSerialError(device_ ? 0 : EBADF);
}
void CSerialPort::SetTimeoutSettings(const platform::SerialTimeouts& timeouts) {
    if (!device_ || !device_->setTimeouts(timeouts)) RaiseSerialError(device_ ? 0 : EBADF);
}
void CSerialPort::SetEventMask(std::uint32_t mask) {
    if (!device_ || !device_->setEventMask(mask)) RaiseSerialError(device_ ? 0 : EBADF);
}

}  // namespace kvx::bus
