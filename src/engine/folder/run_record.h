#pragma once

// The record a finished split leaves in its output folder, so that a re-run with the same input
// and options can take the pieces as they are (brevane::findFinishedRun reads it).

#include "brevane.h"

#include <QJsonObject>
#include <QList>
#include <QString>

namespace brevane::detail {

// outputDir/.brevane-record.json: hidden, and named as no piece and no scratch file is.
QString runRecordPath(const QString& outputDir);

// The lengths and every option that changes the pieces, field by field.
QJsonObject recordedOptions(
    double maxSeconds, double toleranceSeconds, const SplitOptions& options);

// What a split is made of: the input file as it is now (its absolute path, size and
// modification time) and recordedOptions. Empty when the input cannot be looked at.
QJsonObject runKey(const QString& inputPath, double maxSeconds, double toleranceSeconds,
    const SplitOptions& options);

// Removes outputDir's record, if there is one, before a split writes anything: a split that
// does not end well must leave none. Fails with "Failed to remove the run record %1: %2".
bool removeRunRecord(const QString& outputDir, QString* errorMessage);

// Records a finished split of key with these pieces, as they are on disk now. Written to a
// scratch name and renamed, so that the record is there whole or not at all. Fails with "Failed
// to write the run record %1: %2".
bool writeRunRecord(const QString& outputDir, const QJsonObject& key, const StreamFormat& format,
    const QList<Segment>& pieces, QString* errorMessage);

} // namespace brevane::detail
