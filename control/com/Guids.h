// The control's COM identities.
#pragma once

#include <windows.h>

// {CC98CADB-E94C-4240-9723-3E0707271E17}
inline constexpr CLSID kClsidUpLoadObj = {
    0xCC98CADB, 0xE94C, 0x4240, {0x97, 0x23, 0x3E, 0x07, 0x07, 0x27, 0x1E, 0x17}};
// {5D1BA784-4FD5-4D19-8770-444A7EDDDAD6}
inline constexpr IID kIidUpLoadObj = {
    0x5D1BA784, 0x4FD5, 0x4D19, {0x87, 0x70, 0x44, 0x4A, 0x7E, 0xDD, 0xDA, 0xD6}};
// {BDA91015-BF2E-4954-8C83-447A32F3F2F3}
inline constexpr GUID kLibidFerrant = {
    0xBDA91015, 0xBF2E, 0x4954, {0x8C, 0x83, 0x44, 0x7A, 0x32, 0xF3, 0xF2, 0xF3}};

inline constexpr const char* kClsidText = "{CC98CADB-E94C-4240-9723-3E0707271E17}";
inline constexpr const char* kLibidText = "{BDA91015-BF2E-4954-8C83-447A32F3F2F3}";
inline constexpr const char* kAppIdText = "{FDB55F31-BC77-467D-AE46-23257A7832F1}";
inline constexpr const char* kProgId = "Ferrant.UpLoadObj.1";
inline constexpr const char* kProgIdIndependent = "Ferrant.UpLoadObj";
inline constexpr const char* kMiscStatus = "131473";
