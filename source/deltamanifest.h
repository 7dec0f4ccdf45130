#pragma once

#include "common/deltarelease.h"

#include <QJsonObject>
#include <QJsonValue>

namespace Updater {

// The manifest's "delta" object, read and written in one place (the release tool writes it with
// deltaObject and checks it with parseDelta).

// Reads value as a delta object into *out. Refuses, with one English reason in *error (may be
// null) and *out untouched: anything but an object of the expected members and types; sizes and
// offsets that are negative, not whole or beyond 2^53; a hash that is not 64 hex digits; a frame
// outside its file; a path that is not a relative '/'-separated path of names Windows can hold,
// or that names a place two entries share (in any letter case) or a file where another needs a
// directory; a patch entry that makes content no file has; more than 100000 files. Pure; any
// thread.
bool parseDelta(const QJsonValue &value, DeltaRelease *out, QString *error);

// The delta object for delta, as parseDelta reads it.
QJsonObject deltaObject(const DeltaRelease &delta);

} // namespace Updater
