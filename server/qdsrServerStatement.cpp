#include "server/qdsrServerStatement.h"

#include "server/qdsrServerEngine.h"

namespace qd {

const TqdClassInfo TqdServerStatement::ClassInfo{u"TqdServerStatement", &TqdAbstractStatement::ClassInfo};

TqdResult TqdServerStatement::Prepare(TqdStatementType aStatementType, const qdString& aQueryText, TStream* aStream) {
  return qdOperationBracket(this, [&] { return ssPrepare(aStatementType, aQueryText, aStream); });
}

TqdResult TqdServerStatement::Exec(TqdAbstractCursor*& aCursor, TqdOpenMode aOpenMode, TStream* aStream) {
  aCursor = nullptr;
  return qdOperationBracket(this, [&] {
    SetExecDirect(false);
    return ssCountedExec(aCursor, aOpenMode, aStream);
  });
}

TqdResult TqdServerStatement::SetParams(const TqdSqlParamList& aParams, TStream* aStream) {
  return qdOperationBracket(this, [&] { return ssSetParams(aParams, aStream); });
}

TqdResult TqdServerStatement::GetParams(TqdSqlParamList& aParams, TStream* aStream) {
  return qdOperationBracket(this, [&] { return ssGetParams(aParams, aStream); });
}

TqdResult TqdServerStatement::ssCountedExec(TqdAbstractCursor*& aCursor, TqdOpenMode aOpenMode, TStream* aStream) {
  TqdSessionStats::Count(sscStatements, 1);
  auto* engine = dynamic_cast<TqdServerEngine*>(asoGetServerEngine());
  if (engine == nullptr) return ssExec(aCursor, aOpenMode, aStream);
  engine->ExecutingCounter().fetch_add(1);
  TqdResult result = 0;
  try {
    result = ssExec(aCursor, aOpenMode, aStream);
  } catch (...) {
    engine->ExecutingCounter().fetch_sub(1);
    throw;
  }
  engine->ExecutingCounter().fetch_sub(1);
  engine->ExecutedCounter().fetch_add(1);
  return result;
}

}  // namespace qd
