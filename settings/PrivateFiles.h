#pragma once

#include <QString>

// Folders and files that hold the user's secrets or what the program learned about servers:
// readable by their owner only, at every moment.

// Creates dir and any missing parent with mode 0700. Folders that already exist are left as
// they are. False when dir is not there afterwards.
bool makePrivateDir(const QString &dir);

// Takes away every group and other bit of an existing file (mode 0600 at most) and leaves a
// missing file alone. False when the file exists and could not be changed.
bool restrictToOwner(const QString &path);

// $XDG_STATE_HOME when it is an absolute path, else ~/.local/state.
QString stateHome();
// $XDG_CACHE_HOME when it is an absolute path, else ~/.cache.
QString cacheHome();
