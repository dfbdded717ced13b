#include "asyncfunc.h"

// Created without parent: it is deleted on the pool thread that ran it.
ASyncFunc::ASyncFunc() : QObject(nullptr) {}

ASyncFunc::~ASyncFunc() = default;
