// The pool job that carries one worker; owns it and deletes it with itself on the pool thread.
#pragma once

#include <QRunnable>

class ASyncFunc;

class ASyncRun : public QRunnable {
public:
    explicit ASyncRun(ASyncFunc *func);
    void run() override;
    ~ASyncRun() override;

    ASyncFunc *m_Func;
};
