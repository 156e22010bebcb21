#include "server/XmlAnswer.h"

namespace refserver {

std::string Element(const char* name, const std::string& text) {
  std::string out = std::string("<") + name + ">";
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      default:
        out += c;
    }
  }
  return out + "</" + name + ">";
}

std::string Document(const char* root, const std::string& children) {
  return std::string("<") + root + ">" + children + "</" + root + ">";
}

std::string StatusDocument(const char* root, const std::string& cmd, int status,
                           const std::string& msg) {
  return Document(root, Element("cmd", cmd) + Element("status", std::to_string(status)) +
                            (msg.empty() ? "" : Element("status_msg", msg)));
}

std::string FaultBody(const EndpointFault& f, const char* root, const std::string& cmd) {
  if (f.garbage) return "this is not <xml";
  if (f.oversized) {
    return Document(root, Element("cmd", cmd) + Element("status", "100") +
                              Element("padding", std::string(6000, 'x')));
  }
  return StatusDocument(root, cmd, f.status, "fault injected: status " + std::to_string(f.status));
}

}  // namespace refserver
