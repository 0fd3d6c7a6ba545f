#ifndef LUMO_APP_PLACES_H
#define LUMO_APP_PLACES_H

#include <QString>

// Where the window keeps settings.ini and what its receive directory is by default. A
// portable copy in a writable directory keeps both beside the executable; an installed copy
// (ReceiveFile::keepsBesideProgram), or one whose directory the user cannot write, uses the
// user's own directories; its file dialogs then open in the user's home rather than among the
// program's files.
struct AppPlaces {
    QString settingsFile;
    QString receiveDir;
    QString dialogDir;          // where a file dialog opens first
    bool besideProgram = false; // a portable copy: dialogs keep opening in dialogDir
};
AppPlaces appPlaces(const QString &appDir, bool appDirWritable);
AppPlaces appPlaces(); // of this process

#endif
