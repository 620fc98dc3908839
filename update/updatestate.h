#ifndef UPDATESTATE_H
#define UPDATESTATE_H

#include <QtGlobal>

// Stored in a 32-bit field; values are fixed because devices and logs of
// earlier versions speak of them by number.
enum UpdateState : qint32 {
    StateFindDevice = 0,
    StateGetVersion = 1,
    StateReady = 2,
    StateStartDownload = 3,
    StateSendData = 4,
    StateEndOfImage = 5,
};

// Payload byte 1 of the frames the updater sends.
enum RequestCode : unsigned char {
    ReqFindDevice = 0x00,
    ReqGetVersion = 0x01,
    ReqStartDownload = 0x03,
    ReqData = 0x04,
    ReqEndOfImage = 0x05,
};

// Payload byte 1 of the frames the device sends.
enum ResponseCode : unsigned char {
    RspDeviceFound = 0x80,
    RspVersion = 0x81,
    RspDataRequest = 0x82,
    RspUpdated = 0x83,
    RspCancelled = 0x84,
};

// Payload byte 0 of every frame, in both directions.
constexpr unsigned char frameTag = 0x50;

// What imageWordAt found for a requested offset.
enum class ImageWord {
    Ready,      // the word is in the caller's buffer
    EndOfImage, // the whole image has been served
    Failed,     // the file could not supply the image; the reason is on the status line
};

#endif
