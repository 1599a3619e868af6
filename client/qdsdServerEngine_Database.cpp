// The base operations of databases and sessions that run through temporary
// objects (table streams), and the operations the base does not support.
#include "client/qdsdServerEngine.h"

namespace qd {

const TqdClassInfo TqdSqlAbstractDatabase::ClassInfo{u"TqdSqlAbstractDatabase", &TqdAbstractDatabase::ClassInfo};

namespace {

// Frees a temporary object of an operation, on every path.
template <class T>
class TqdTemporary {
 public:
  TqdTemporary() = default;
  TqdTemporary(const TqdTemporary&) = delete;
  TqdTemporary& operator=(const TqdTemporary&) = delete;
  ~TqdTemporary() {
    TqdAbstractServerObject* object = fObject;
    fObject = nullptr;
    if (object != nullptr) qdFreeAndNil(object);
  }
  T*& Ref() { return fObject; }
  T* operator->() const { return fObject; }

 private:
  T* fObject = nullptr;
};

}  // namespace

// --- Session ---------------------------------------------------------------------

namespace {

TqdResult sessionTableStream(TqdAbstractSession* aSession, bool aWrite, const qdString& aAliasName,
                             const qdString& aTableName, const qdString& aPassword, const qdString& aStreamName,
                             TStream* aStream) {
  return qdOperationBracket(aSession, [&]() -> TqdResult {
    TqdTemporary<TqdAbstractDatabase> database;
    const TqdResult result = aSession->DatabaseOpen(database.Ref(), u"Name", aAliasName, nullptr,
                                                    aWrite ? omReadWrite : omReadOnly, smShared, aSession->Timeout());
    if (result != 0) return result;
    return aWrite ? database->TableStreamWrite(aTableName, aPassword, aStreamName, aStream)
                  : database->TableStreamRead(aTableName, aPassword, aStreamName, aStream);
  });
}

TqdResult databaseTableStream(TqdAbstractDatabase* aDatabase, bool aWrite, const qdString& aTableName,
                              const qdString& aPassword, const qdString& aStreamName, TStream* aStream) {
  return qdOperationBracket(aDatabase, [&]() -> TqdResult {
    TqdTemporary<TqdAbstractCursor> cursor;
    const TqdResult result = aDatabase->CursorOpen(
        cursor.Ref(), aTableName, aPassword, aWrite ? omReadWrite : omReadOnly, smShared, aDatabase->Timeout(),
        qdString(), -1, aDatabase->GetExplicitAllowSystem(), {}, 500, nullptr);
    if (result != 0) return result;
    return aWrite ? cursor->TableStreamWrite(aStreamName, aStream) : cursor->TableStreamRead(aStreamName, aStream);
  });
}

}  // namespace

TqdResult TqdAbstractSession::TableStreamRead(const qdString& aAliasName, const qdString& aTableName,
                                              const qdString& aPassword, const qdString& aStreamName,
                                              TStream* aStream) {
  return sessionTableStream(this, false, aAliasName, aTableName, aPassword, aStreamName, aStream);
}

TqdResult TqdAbstractSession::TableStreamWrite(const qdString& aAliasName, const qdString& aTableName,
                                               const qdString& aPassword, const qdString& aStreamName,
                                               TStream* aStream) {
  return sessionTableStream(this, true, aAliasName, aTableName, aPassword, aStreamName, aStream);
}

// --- Database --------------------------------------------------------------------

TqdResult TqdAbstractDatabase::RegisterCursorSource(IqdDatabaseCursorSource*,
                                                    TqdRef<IqdDatabaseCursorSourceControl>& aControl) {
  aControl = nullptr;
  return NotSupportedError(u"RegisterCursorSource");
}

TqdResult TqdAbstractDatabase::TableStreamRead(const qdString& aTableName, const qdString& aPassword,
                                               const qdString& aStreamName, TStream* aStream) {
  return databaseTableStream(this, false, aTableName, aPassword, aStreamName, aStream);
}

TqdResult TqdAbstractDatabase::TableStreamWrite(const qdString& aTableName, const qdString& aPassword,
                                                const qdString& aStreamName, TStream* aStream) {
  return databaseTableStream(this, true, aTableName, aPassword, aStreamName, aStream);
}

TqdResult TqdAbstractDatabase::CursorCacheOpen(TqdAbstractCursor*& aCursor, const qdString&, const qdString&,
                                               TqdOpenMode, TqdShareMode, uint32_t, const qdString&, int32_t, bool,
                                               TqdCursorOpenOptions, uint32_t) {
  aCursor = nullptr;
  return NotSupportedError(u"CursorCacheOpen");
}

}  // namespace qd
