// The URL parser for the dispatch address that InitService receives.
//
// Not a general URL parser: a delimiter-driven tokeniser ('&' '/' ':' '=' '?' '\\') whose tokens
// are assigned to fields by the delimiter in front of them:
//   leading token   tried as a scheme ("FTP" 21, "HTTP" 80, "HTTPS" 443, "FILE" 0, after
//                   upper-casing);
//   '/'             the host while it is empty, else one more path segment ("/seg");
//   ':'             a port from the token's leading digits, wherever it stands (even in a query);
//   '?' or '&'      a query name (pending); '='  its value, which lists the pair;
//   '\\'            ignored.
// Token characters are ASCII letters, digits and '.'; any other character that is not a
// delimiter ('-', '_', '%', a space, bytes above 127, ...) is kept as a token character, so the
// tokeniser always moves forward and host names such as "dispatch-1.corvel.example" survive.
//
// Fields are bounded: a token over 255 characters, a host over 254, a path over 256, a query name
// over 254 or value over 256 characters are cut at the field's size; a record whose host or path
// was cut reports it in Truncated, and InitService refuses such an address.
//
// ParseUrl never fails and never returns null; the caller frees the record with FreeUrl.
// Thread safety: no shared state.
#pragma once

#include <cstdint>

struct QueryPair {
  char Name[255];
  char Value[257];
  QueryPair* Next;
};

struct UrlToken {
  char Text[256];
  int32_t Delimiter;
  UrlToken* Next;
};

struct UrlRecord {
  char Scheme[32];
  char Host[255];
  char Path[257];
  int32_t Port;
  QueryPair* Query;
  bool Truncated;  // a token, the host or the path did not fit its field
};

UrlRecord* ParseUrl(const char* text);
void FreeUrl(UrlRecord* record);
// The token list of text (null for empty text); frees with FreeUrlTokens.
UrlToken* TokenizeUrl(const char* text, bool* truncated = nullptr);
void FreeUrlTokens(UrlToken* head);
void AppendQueryPair(UrlRecord* record, QueryPair* pair);
