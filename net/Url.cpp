#include "net/Url.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/Bounded.h"

namespace {

bool IsDelimiter(char c) {
  return c == '&' || c == '/' || c == ':' || c == '=' || c == '?' || c == '\\';
}

struct SchemeEntry {
  const char* name;
  int32_t port;
};
constexpr SchemeEntry kSchemes[] = {{"FTP", 21}, {"HTTP", 80}, {"HTTPS", 443}, {"FILE", 0}};

int32_t LeadingDigits(const char* text) {
  int64_t value = 0;
  for (const char* p = text; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT32_MAX) return INT32_MAX;  // stays out of the valid port range
  }
  return static_cast<int32_t>(value);
}

}  // namespace

UrlToken* TokenizeUrl(const char* text, bool* truncated) {
  UrlToken* head = nullptr;
  UrlToken** tail = &head;
  if (text == nullptr) return nullptr;
  const char* p = text;
  while (*p != '\0') {
    auto* token = new (std::nothrow) UrlToken{};
    if (token == nullptr) break;
    if (IsDelimiter(*p)) {
      token->Delimiter = static_cast<unsigned char>(*p);
      ++p;
    }
    size_t len = 0;
    while (*p != '\0' && !IsDelimiter(*p)) {
      if (len < sizeof(token->Text) - 1) {
        token->Text[len++] = *p;
      } else if (truncated) {
        *truncated = true;
      }
      ++p;
    }
    token->Text[len] = '\0';
    *tail = token;
    tail = &token->Next;
  }
  return head;
}

void FreeUrlTokens(UrlToken* head) {
  while (head) {
    UrlToken* next = head->Next;
    delete head;
    head = next;
  }
}

void AppendQueryPair(UrlRecord* record, QueryPair* pair) {
  QueryPair** slot = &record->Query;
  while (*slot) slot = &(*slot)->Next;
  *slot = pair;
}

UrlRecord* ParseUrl(const char* text) {
  auto* record = new UrlRecord{};
  platform::CopyText(record->Scheme, "HTTP");
  record->Port = 80;

  bool truncated = false;
  UrlToken* tokens = TokenizeUrl(text, &truncated);
  QueryPair* pending = nullptr;
  for (UrlToken* t = tokens; t; t = t->Next) {
    switch (t->Delimiter) {
      case 0: {
        char upper[sizeof(t->Text)];
        size_t i = 0;
        for (; t->Text[i]; ++i) {
          char c = t->Text[i];
          upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        }
        upper[i] = '\0';
        for (const SchemeEntry& s : kSchemes) {
          if (std::strcmp(upper, s.name) == 0) {
            platform::CopyText(record->Scheme, upper);
            record->Port = s.port;
            break;
          }
        }
        break;
      }
      case '/':
        if (record->Host[0] == '\0') {
          if (!platform::CopyText(record->Host, t->Text)) truncated = true;
        } else {
          char old[sizeof(record->Path)];
          platform::CopyText(old, record->Path);
          if (!platform::FormatText(record->Path, sizeof(record->Path), "%s/%s", old, t->Text)) {
            truncated = true;
          }
        }
        break;
      case ':':
        if (t->Text[0] != '\0') record->Port = LeadingDigits(t->Text);
        break;
      case '?':
      case '&': {
        delete pending;
        pending = new (std::nothrow) QueryPair{};
        if (pending) platform::CopyText(pending->Name, t->Text);
        break;
      }
      case '=':
        if (pending) {
          platform::CopyText(pending->Value, t->Text);
          AppendQueryPair(record, pending);
          pending = nullptr;
        }
        break;
      default:  // '\\'
        break;
    }
  }
  delete pending;
  FreeUrlTokens(tokens);
  record->Truncated = truncated;
  return record;
}

void FreeUrl(UrlRecord* record) {
  if (record == nullptr) return;
  QueryPair* pair = record->Query;
  while (pair) {
    QueryPair* next = pair->Next;
    delete pair;
    pair = next;
  }
  delete record;
}
