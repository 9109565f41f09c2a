'use strict';
// OPC DA qualities as OPC UA status codes.

const { StatusCodes } = require('node-opcua');

// The quality/substatus bits (QQSSSS..) of OPC DA, as OPC UA's COM interoperability maps them.
const BY_QUALITY_SUBSTATUS = new Map([
    [0x00, StatusCodes.Bad],
    [0x04, StatusCodes.BadConfigurationError],
    [0x08, StatusCodes.BadNotConnected],
    [0x0c, StatusCodes.BadDeviceFailure],
    [0x10, StatusCodes.BadSensorFailure],
    [0x14, StatusCodes.BadOutOfService], // last known value
    [0x18, StatusCodes.BadNoCommunication],
    [0x1c, StatusCodes.BadOutOfService],
    [0x20, StatusCodes.BadWaitingForInitialData],
    [0x40, StatusCodes.Uncertain],
    [0x44, StatusCodes.UncertainLastUsableValue],
    [0x50, StatusCodes.UncertainSensorNotAccurate],
    [0x54, StatusCodes.UncertainEngineeringUnitsExceeded],
    [0x58, StatusCodes.UncertainSubNormal],
    [0xc0, StatusCodes.Good],
    [0xd8, StatusCodes.GoodLocalOverride],
]);

function statusOfQuality(quality) {
    // The plug-in's bad quality means that the member gives no valid data: no communication.
    if (quality === 0) return StatusCodes.BadNoCommunication;
    const known = BY_QUALITY_SUBSTATUS.get(quality & 0xfc); // limit bits left aside
    if (known) return known;
    switch (quality & 0xc0) {
        case 0xc0: return StatusCodes.Good;
        case 0x40: return StatusCodes.Uncertain;
        default: return StatusCodes.Bad;
    }
}

module.exports = { statusOfQuality };
