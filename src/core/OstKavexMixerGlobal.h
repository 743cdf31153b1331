#pragma once

#include <QtGlobal>

#if defined(OSTKAVEXMIXER_LIBRARY)
#define OSTKAVEXMIXER_EXPORT Q_DECL_EXPORT
#else
#define OSTKAVEXMIXER_EXPORT Q_DECL_IMPORT
#endif
