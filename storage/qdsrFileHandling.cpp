#include "storage/qdsrFileHandling.h"

#include "storage/qdsrFileSystem.h"

namespace qd {

void qdDeleteFile(const qdString& aFileName) {
  const std::string name = StringToUtf8(aFileName);
  TqdFileSystem& fileSystem = qdFileSystem();
  if (fileSystem.Delete(name) != 0 || fileSystem.SyncFolder(qdFolderOf(name)) != 0)
    throw EqdFileManagementException(qdeDeleteFailed, u"DeleteFile (\"%s\")", {aFileName});
}

void qdRenameFile(const qdString& aOldName, const qdString& aNewName) {
  const std::string oldName = StringToUtf8(aOldName);
  const std::string newName = StringToUtf8(aNewName);
  TqdFileSystem& fileSystem = qdFileSystem();
  bool failed = fileSystem.Rename(oldName, newName, false) != 0;
  if (!failed) {
    failed = fileSystem.SyncFolder(qdFolderOf(newName)) != 0;
    if (!failed && qdFolderOf(oldName) != qdFolderOf(newName)) failed = fileSystem.SyncFolder(qdFolderOf(oldName)) != 0;
  }
  if (failed)
    throw EqdFileManagementException(qdeRenameFailed, u"RenameFile (from \"%s\" to \"%s\")", {aOldName, aNewName});
}

qdString qdJoinPath(const qdString& aFolder, const qdString& aName) {
  if (aFolder.empty() || aFolder.back() == u'/') return aFolder + aName;
  return aFolder + u'/' + aName;
}

qdString qdJoinFileExt(const qdString& aName, const qdString& aExt) { return aName + u'.' + aExt; }

}  // namespace qd
