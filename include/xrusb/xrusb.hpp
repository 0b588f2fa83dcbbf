// The xrusb library: find devices, configure them, move data.
//   device.hpp       ListDevices, Device (descriptors, configuration, device requests)
//   pipe.hpp         Pipe, Request (synchronous and asynchronous transfers)
//   iso.hpp          IsoRequest
//   descriptors.hpp  parsed descriptors
//   error.hpp        error codes and the throwing / error_code convention
#pragma once
#include "descriptors.hpp"
#include "device.hpp"
#include "error.hpp"
#include "iso.hpp"
#include "pipe.hpp"
