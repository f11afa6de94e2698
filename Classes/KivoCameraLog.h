#pragma once

// The component's log lines, written with debugPrint (standard output, in
// debug form, one line per write).
//
// Thread-safe

#include <string_view>

#include "KivoCameraEnum.h"

// A failure's line: "[KivoCamera](" + caseName(error) + message. The message
// starts with ")" and, when there is more, a blank and the text:
//   kivoLog(KivoCameraError::zoom, ") Error Zoom")
//     -> [KivoCamera](zoom) Error Zoom
// An empty message closes the parenthesis alone:
//   kivoLog(KivoCameraError::configFailed) -> [KivoCamera](configFailed)
void kivoLog(KivoCameraError error, std::string_view message = {});

// A line written as it is ("No photo data resource", the device line).
void kivoLogLine(std::string_view line);
