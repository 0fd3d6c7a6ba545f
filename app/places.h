#ifndef LUMO_APP_PLACES_H
#define LUMO_APP_PLACES_H

#include <QString>

// Where the window keeps settings.ini and what its receive directory is by default. A
// portable copy in a writable directory keeps both beside the executable; an installed copy
// (ReceiveFile::keepsBesideProgram), or one whose directory the user cannot write, uses the
// user's own directories.
struct AppPlaces {
    QString settingsFile;
    QString receiveDir;
};
AppPlaces appPlaces(const QString &appDir, bool appDirWritable);
AppPlaces appPlaces(); // of this process

#endif
