#include "tests/server/qdsrServerBudgetsTestEngines.h"

#include "storage/qdsrIndexEngineBase.h"
#include "storage/qdsrRecordEngineBase.h"

namespace qd::test {
namespace {

const TqdIndexEngineClass kCacheIndexClass{
    {u"TqdTestCacheIndexEngine", &TqdBaseIndexEngine::ClassInfo, nullptr}, nullptr, nullptr};
const TqdIndexEngineClass kPlainIndexClass{
    {u"TqdTestPlainIndexEngine", &TqdBaseIndexEngine::ClassInfo, nullptr}, nullptr, nullptr};
const TqdRecordEngineClass kListedRecordClass{
    {u"TqdTestListedRecordEngine", &TqdBaseRecordEngine::ClassInfo, nullptr}, nullptr, nullptr};

}  // namespace

void qdRegisterListTestEngines() {
  TqdBaseSubEngine::Register(kCacheIndexClass, u"TestBlobCache");
  TqdBaseSubEngine::Register(kCacheIndexClass, u"TestCACHEIndex");
  TqdBaseSubEngine::Register(kPlainIndexClass, u"TestPlainIndex");
  TqdBaseSubEngine::Register(kListedRecordClass, u"TestListedRecord");
}

void qdUnregisterListTestEngines() {
  TqdBaseSubEngine::Unregister(kListedRecordClass);
  TqdBaseSubEngine::Unregister(kPlainIndexClass);
  TqdBaseSubEngine::Unregister(kCacheIndexClass);
}

bool qdIndexRegistryHoldsTestCache() {
  return TqdBaseSubEngine::FindEngineClass(TqdBaseIndexEngine::ClassInfo, u"TestBlobCache") == &kCacheIndexClass;
}

}  // namespace qd::test
