// Base of the pool-thread workers of the slow file operations: copies of the paths, nothing else.
#pragma once

#include "asyncfunc.h"

#include <QString>

class SlowFileOpFunc : public ASyncFunc {
    Q_OBJECT
public:
    SlowFileOpFunc(const QString &source, const QString &patch, const QString &destination);

protected:
    QString m_Source;
    QString m_Patch;
    QString m_Destination;
};
