// The reference server's XML answers: escaped element texts, documents under a root, the
// status answer every endpoint gives, and the answer a fault asks for instead of the real one.
//
// Thread safety: pure functions.
#pragma once

#include <string>

#include "server/ReferenceServer.h"

namespace refserver {

// <name>text</name>, with < > & of the text escaped.
std::string Element(const char* name, const std::string& text);
// <root>children</root>
std::string Document(const char* root, const std::string& children);
// <root><cmd>cmd</cmd><status>status</status>[<status_msg>msg</status_msg>]</root>
std::string StatusDocument(const char* root, const std::string& cmd, int status,
                           const std::string& msg);
// What a fault answers: text that is not XML, an oversized body, or a status with its message.
std::string FaultBody(const EndpointFault& fault, const char* root, const std::string& cmd);

}  // namespace refserver
