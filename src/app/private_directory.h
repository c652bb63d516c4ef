// Where the console keeps files that decide who the one console is (its election lock and its
// request socket). Another local user who can create or replace those files could keep the
// console from starting or receive its requests, so only a directory that this user owns and
// nobody else can write is ever used.
#pragma once

#include <QString>

struct PrivateDirectory {
    QString path;     // "" when no such directory could be had
    QString problem;  // why not, for the user; "" when path is usable
};

// $XDG_RUNTIME_DIR when it is this user's own and closed to others; otherwise
// "<temporary directory>/relvoconsole-<uid>", created with mode 0700 when missing and closed to
// others when it is this user's own. A fallback that is a link, not a directory, or belongs to
// someone else is refused.
PrivateDirectory FindPrivateDirectory();

// "" when path is a directory (not a symbolic link) owned by this user that no other user can
// write; otherwise what is wrong with it.
QString PrivateDirectoryProblem(const QString& path);
