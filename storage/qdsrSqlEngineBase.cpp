#include "storage/qdsrSqlEngineBase.h"

namespace qd {

// Abstract: the class record has no factory.
const TqdComponentClass TqdBaseSqlEngine::ClassInfo{
    {u"TqdBaseSqlEngine", &TqdStateComponent::ClassInfo, nullptr}, nullptr, nullptr};

}  // namespace qd
