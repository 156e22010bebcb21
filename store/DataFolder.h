// The per-user data folder that holds the task files:
//   <base>/Corvel/Ferrant/<user id>
// where <base> is $APPDATA when it is set (both platforms); on Linux without it,
// $XDG_DATA_HOME, else $HOME/.local/share. Each missing level is created on every use, one
// level at a time, the base and the folders above it included (mode 0700 on POSIX, as the
// XDG base-directory rules ask); nothing is cached, so a level removed meanwhile is made again.
//
// A user id that is not one plain folder name (empty, ".", "..", holding '/' or '\\', a control
// character or one of <>:"|?*) gives no folder: every task-store operation for that user then
// does nothing. A base longer than 511 characters, or none at all, also gives no folder.
//
// Every function asks the given Env (the runtime's) for variables and folders.
//
// Thread safety: no state; callable from any thread. Two threads making the same missing level
// at once: the loser finds it made and goes on.
#pragma once

#include <string>
#include <vector>

#include "platform/Env.h"

// The folder's full path without a trailing separator. userId null: the program folder
// (.../Corvel/Ferrant). False when a level can neither be found as a folder nor made.
bool DataFolder(platform::Env& env, const char* userId, std::string* folder);
// The same path without making anything, to name it in messages. False when there is none.
bool DataFolderPath(platform::Env& env, const char* userId, std::string* folder);

// Bare names of the entries of folder matching "*.udu", in the file system's order.
std::vector<std::string> FindTaskFiles(platform::Env& env, const std::string& folder);

// True when userId can name a user folder.
bool IsPlainFolderName(const char* userId);
