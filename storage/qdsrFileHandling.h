// File names and file management for the server engine and the journal:
// joining folder and file names, deleting and renaming files.
//
// Deleting and renaming go through the file-system seam and are made
// durable at once (the folder is synced); a rename never replaces an
// existing file.
//
// Classes: EqdFileManagementException. No state, no locks.
#pragma once

#include "foundation/qdllException.h"
#include "platform/qdStrings.h"

namespace qd {

QD_DECLARE_EXCEPTION_CLASS(EqdFileManagementException, EqdServerException);

// Raises 15393 'DeleteFile ("<name>")' when the file cannot be deleted.
void qdDeleteFile(const qdString& aFileName);
// Raises 15394 'RenameFile (from "<old>" to "<new>")' when the rename fails,
// also when aNewName exists.
void qdRenameFile(const qdString& aOldName, const qdString& aNewName);
// aFolder + aName, with one '/' between them unless aFolder is empty or
// already ends in '/'.
qdString qdJoinPath(const qdString& aFolder, const qdString& aName);
// aName + "." + aExt.
qdString qdJoinFileExt(const qdString& aName, const qdString& aExt);

}  // namespace qd
