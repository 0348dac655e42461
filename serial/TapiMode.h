// How a serial port component reaches its device: tmOn, on a handle that a telephony call provided.
#pragma once

enum TTapiMode { tmNone, tmAuto, tmOn, tmOff };
