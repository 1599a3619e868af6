// The built-in texts of the result codes.
#include "foundation/qdllException.h"

#include <algorithm>
#include <iterator>

namespace qd {

namespace {

struct TqdErrorText {
  TqdResult etCode;
  const char16_t* etText;
};

// Ascending by code, for binary search.
constexpr TqdErrorText kErrorTexts[] = {
    {qdeSuccess, u"Success"},
    {qdeKeyFiltered, u"Key has been filtered"},
    {qdeCacheValid, u"Cache is valid"},
    {qdeCacheInvalid, u"Cache is invalid"},
    {qdeReentered, u"System has been illegally re-entered."},
    {qdeBOF, u"At beginning of table."},
    {qdeEOF, u"At end of table."},
    {qdeKeyOrRecDeleted, u"Record/Key deleted."},
    {qdeNoCurrentRec, u"No current record."},
    {qdeRecNotFound, u"Could not find record."},
    {qdeEndOfBlob, u"End of BLOB."},
    {qdeObjNotFound, u"Could not find object."},
    {qdeHeaderCorrupt, u"Corrupt table/index header."},
    {qdeFileCorrupt, u"Corrupt file - other than header."},
    {qdeIndexCorrupt, u"Corrupt index."},
    {qdeReadErr, u"Read failure."},
    {qdeWriteErr, u"Write failure."},
    {qdeDirNoAccess, u"Cannot access directory."},
    {qdeFileNoAccess, u"Cannot access file. File may be in use by another process."},
    {qdeNoMemory, u"Insufficient memory for this operation."},
    {qdeTableFull, u"Table is full."},
    {qdeTooManyClients, u"Too many clients."},
    {qdeTooManyIndexes, u"Too many indexes on table."},
    {qdeTooManyFields, u"Too many fields."},
    {qdeKeyViol, u"Key violation."},
    {qdeMinValErr, u"Minimum validity check failed."},
    {qdeMaxValErr, u"Maximum validity check failed."},
    {qdeRequiredErr, u"Field value required."},
    {qdeMasterMissing, u"Master record missing."},
    {qdeDetailRecsExist, u"Master has detail records. Cannot delete or modify."},
    {qdeFieldBlank, u"Field is blank."},
    {qdeExprValErr, u"Expression validity check failed."},
    {qdeOutOfRange, u"Number is out of range."},
    {qdeInvalidParam, u"Invalid parameter."},
    {qdeInvalidHandle, u"Invalid handle to the function."},
    {qdeCannotOpenFile, u"Cannot open file."},
    {qdeInvalidModifyRequest, u"Invalid modify request."},
    {qdeNoSuchIndex, u"Index does not exist."},
    {qdeInvalidBlobOffset, u"Invalid offset into the BLOB."},
    {qdeInvalidDescNum, u"Invalid descriptor number."},
    {qdeInvalidFieldType, u"Invalid field type."},
    {qdeInvalidFieldDesc, u"Invalid field descriptor."},
    {qdeInvalidFieldXform, u"Invalid field transformation."},
    {qdeInvalidRecStruct, u"Invalid record structure."},
    {qdeInvalidDesc, u"Invalid descriptor."},
    {qdeInvalidIndexDescArray, u"Invalid array of index descriptors."},
    {qdeNameNotUnique, u"Name not unique in this context."},
    {qdeUnknownDb, u"Unknown database."},
    {qdeInvalidPassword, u"Invalid password given."},
    {qdeAliasDirMissing, u"The alias references a directory that does not exist."},
    {qdeTranslateOutOfBounds, u"Translate Error. Value out of bounds."},
    {qdeDifferentTables, u"Cannot set cursor of one table to another."},
    {qdeBookmarkMismatch, u"Bookmarks do not match table."},
    {qdeInvalidIndexName, u"Invalid index name."},
    {qdeInvalidIndexDesc, u"Invalid index descriptor."},
    {qdeNoSuchTable, u"Table does not exist."},
    {qdeIndexExists, u"Index already exists."},
    {qdeInvalidBlobLen, u"Invalid BLOB length."},
    {qdeInvalidBlobHandle, u"Invalid BLOB handle in record buffer."},
    {qdeTableOpen, u"Table is open."},
    {qdeUnknownUser, u"Unknown user name or password."},
    {qdeInvalidFieldName, u"Invalid field name."},
    {qdeInvalidTableName, u"Invalid table name."},
    {qdeInvalidFileExt, u"Invalid file extension."},
    {qdeInvalidLangDriver, u"Invalid language Driver."},
    {qdeInvalidFilterHandle, u"Filter handle is invalid"},
    {qdeInvalidFilter, u"Invalid Filter"},
    {qdeInvalidAliasName, u"Invalid alias name."},
    {qdeInvalidName, u"Invalid name."},
    {qdeRecLocked, u"Record locked by another user."},
    {qdeFileLocked, u"File is locked."},
    {qdeLockTimeout, u"Lock time out."},
    {qdeNeedExclusive, u"Object cannot be opened for exclusive use."},
    {qdeLockConflict, u"Conflicting lock in this session."},
    {qdeDeadlock, u"A deadlock was detected. You need to rollback this transaction."},
    {qdeTransInProgress, u"A user transaction is already in progress."},
    {qdeNoTrans, u"No user transaction is currently in progress."},
    {qdeRecLockFailed, u"Record lock failed."},
    {qdeRecChanged, u"Couldn't perform the edit because another user changed the record."},
    {qdeRecDeletedOrMoved, u"Couldn't perform the edit because another user deleted or moved the record."},
    {qdeNoTableRights, u"Insufficient table rights for operation."},
    {qdeDbReadOnly, u"Database is read only."},
    {qdeFieldReadOnly, u"Trying to modify read-only field."},
    {qdeEncryptionNotSupported, u"Encrypted tables not supported."},
    {qdeNotABlob, u"Field is not a BLOB."},
    {qdeNotApplicable, u"Operation not applicable."},
    {qdeNotIndexed, u"Table is not indexed."},
    {qdeDifferentSessions, u"Objects are not owned by the same session."},
    {qdeTableReadOnly, u"Table is read only."},
    {qdeNoAssocIndex, u"No associated index."},
    {qdeOSError, u"Unknown internal operating system error."},
    {qdeNoServerEngine, u"No ServerEngine is connected to the CommandHandler."},
    {qdeLostConnection, u"Lost communication with network server."},
    {qdeCannotConnect, u"Cannot locate or connect to network server."},
    {qdeBlobError, u"General BLOB error."},
    {qdeIncompatibleServer, u"Server is incompatible version."},
    {qdeHigherTableLevel, u"Higher table level required"},
    {qdeNotSupported, u"Capability not supported."},
    {qdeBlobModified, u"BLOB has been modified."},
    {qdeTableExists, u"Table already exists."},
    {qdeUpdateAborted, u"Update aborted."},
    {qdeBadFileData, u"TqdBaseFile contains invalid data"},
    {qdeCloseFailed, u"File could not be closed"},
    {qdeCopyFailed, u"Error when copying a file"},
    {qdeDeleteFailed, u"Error when deleting a file"},
    {qdeRenameFailed, u"Error when renaming a file"},
    {qdeBadBlockNum, u"Block number is either < 0, or >= number of blocks in file"},
    {qdeBadRefNr, u"Record reference number is invalid"},
    {qdeNotDataBlock, u"Block read from file is not a data block"},
    {qdeNoHeaderAccessFactories,
     u"A TqdServerEngine without file header access factories has been detected. Please add \"qdseAllEngines\" to your "
     u"program's USES clause, and recompile."},
    {qdeNewerTableVersion, u"The table cannot be opened because it was created with a newer version of QendoDB."},
    {qdeNotHeapBlock, u"Block read from file is not a heap block"},
    {qdeNotStreamBlock, u"Block read from file is not a stream block"},
    {qdeNotIndexBlock, u"Block read from file is not an index block"},
    {qdeBadIndexNum, u"Index number passed to routine is out of range"},
    {qdeFileBlobOpenErr, u"An error occurred when opening the external file for a file BLOB"},
    {qdeFileBlobReadErr, u"An error occurred when reading the external file for a file BLOB"},
    {qdeFileBlobCloseErr, u"An error occurred when closing the external file for a file BLOB"},
    {qdeTransCorrupt,
     u"The transaction was corrupt due to an earlier failure. No commit took place. You need to rollback this "
     u"transaction."},
    {qdeFilterTimeout, u"The filter timed out."},
    {qdeTimeout, u"The operation could not be completed in the allotted time."},
    {qdeNotConnected, u"The session is not connected to a server engine."},
    {qdeIncompatibleCursorDicts,
     u"The cursor dictionaries are incompatible. Verify the correct field types, lengths, units, and decimal places "
     u"have been specified."},
    {qdeSameTable, u"The cursors may not reference the same table for this operation."},
    {qdeBlobTooLarge, u"BLOB size exceeds maximum size."},
    {qdeIncompatibleSubEngine, u"Sub-Engine is incompatible with the selected file header structure."},
    {qdeBadSegmentNum, u"Invalid segment number"},
    {qdeSegmentDeleted, u"Segment has been deleted"},
    {qdeKeyTooLarge, u"Maximum key size has been exceeded"},
    {qdeRecordTooLarge, u"Maximum record size has been exceeded"},
    {qdeTempStoreBadBlock, u"Temporary Storage: Invalid block number"},
    {qdeTempStoreFull, u"Temporary Storage: Full"},
    {qdeIncompatibleStream, u"Incompatible stream"},
    {qdeUnsupportedDescriptor, u"Unsupported dictionary descriptor"},
    {qdeDictReadOnly, u"The data dictionary is read only"},
    {qdeDupAutoIncField, u"Duplicated autoinc field"},
    {qdeObjectInUse, u"Object is currently in use"},
    {qdeSubEngineNotSupported, u"Specified sub-engine is not supported"},
    {qdeHeaderAccessNotSupported, u"Specified file header access is not supported"},
    {qdeNoTransportServerName, u"Servername of the transport is not set"},
    {qdeDupRecRevField, u"Duplicated RecRev field"},
    {qdeSignal, u"A SIGNAL has been raised"},
    {qdeSameFolder, u"The databases may not reference the same folder for this operation."},
    {qdeRecoveryFailed, u"Recovery failed."},
    {qdeIndexNotEmpty, u"Index is not empty."},
    {qdeDupRefNrField, u"Duplicated RefNr field"},
    {qdeDupLSNField, u"Duplicated LSN field"},
    {qdeUnexpectedException, u"Unknown (unexpected exception object raised)"},
    {qdeMessageUnrecognized, u"Message is unrecognized."},
    {qdeNoMessageQueued, u"No message is queued"},
};

static_assert(std::is_sorted(std::begin(kErrorTexts), std::end(kErrorTexts),
                             [](const TqdErrorText& a, const TqdErrorText& b) { return a.etCode < b.etCode; }));

constexpr char16_t kUnknownErrorCodeText[] = u"Unknown (server exception object has unknown error code)";
constexpr char16_t kComposedSeparator[] = u": ";
// $22F0-$22FF read as "Cache is invalid: " plus the text of the code with
// bits $F0 cleared.
constexpr TqdResult kComposedFirst = 0x22F0;
constexpr TqdResult kComposedLast = 0x22FF;

const char16_t* findErrorText(TqdResult aErrorCode) {
  const auto* found = std::lower_bound(std::begin(kErrorTexts), std::end(kErrorTexts), aErrorCode,
                                       [](const TqdErrorText& a, TqdResult b) { return a.etCode < b; });
  if (found == std::end(kErrorTexts) || found->etCode != aErrorCode) return nullptr;
  return found->etText;
}

}  // namespace

void qdGetErrorText(TqdResult aErrorCode, qdString& aText) {
  if (const char16_t* text = findErrorText(aErrorCode)) {
    aText = text;
  } else if (aErrorCode >= kComposedFirst && aErrorCode <= kComposedLast) {
    const char16_t* partner = findErrorText(aErrorCode & 0xFFFFFF0F);
    aText = findErrorText(qdeCacheInvalid);
    aText += kComposedSeparator;
    aText += partner ? partner : kUnknownErrorCodeText;
  } else {
    aText = kUnknownErrorCodeText;
  }
}

qdString qdGetErrorText(TqdResult aErrorCode) {
  qdString text;
  qdGetErrorText(aErrorCode, text);
  return text;
}

std::vector<TqdResult> qdErrorCodesWithText() {
  std::vector<TqdResult> codes;
  codes.reserve(std::size(kErrorTexts));
  for (const TqdErrorText& entry : kErrorTexts) codes.push_back(entry.etCode);
  return codes;
}

}  // namespace qd
