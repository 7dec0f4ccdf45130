#pragma once

#include "common/deltarelease.h"
#include "tools/release/payloadscan.h"
#include "tools/release/releaseoptions.h"

#include <QList>
#include <QString>
#include <QTemporaryFile>

#include <memory>
#include <vector>

namespace Updater::Release {

// An earlier release as the patches see it: its version and its files as an installation of it
// holds them.
struct ReleaseTree
{
    QString version;
    QString dir;
};

// Opens previous as an earlier release: with a version, a payload tree taken as it is; without,
// an output folder of this tool, whose manifest.json gives the version and whose package.zip must
// pass the updater's digest check against it and is unpacked into unpackDir (an existing empty
// directory; its one top folder taken as the installation would). The version must not be
// newVersion and must make a file name. False with one English message in *error.
bool openReleaseTree(const PreviousRelease &previous, const QString &newVersion,
                     const QString &unpackDir, ReleaseTree *out, QString *error);

// The files of a differential update, written beside the package under temporary names:
// package.zpack, one zstd frame (level 19) per distinct content of the payload, and for each
// earlier release package-from-<version>.zpatch, one frame per file that changed since it, made
// with the earlier file as the prefix (files up to 128 MiB; a patch larger than half of the
// file's own frame is left out). Unix only.
class DeltaPublication
{
public:
    // Writes the files into outDir and the delta object that describes them (their URLs beside
    // packageUrl). A payload that holds links gets no differential update: then nothing is
    // written and note() says why. False with one English message in *error.
    bool write(const QList<PayloadEntry> &entries, const QString &topFolder,
               const QList<ReleaseTree> &previous, const QString &packageUrl, const QString &outDir,
               QString *error);

    // Reads every written file back and decodes each of its frames with the updater's own code:
    // each zpack frame must make its files, each patch applied to its earlier file the new one.
    // False with one English message in *error ("The patch for %1 from %2 does not reproduce
    // it: %3", ...).
    bool check(const QList<ReleaseTree> &previous, QString *error) const;

    // Publishes no differential update after all, for the reason given (note() then says it);
    // the written files go.
    void abandon(const QString &note);

    // Gives the written files their names in outDir.
    bool moveIntoPlace(const QString &outDir, QString *error);

    const DeltaRelease &delta() const { return m_delta; }
    QString note() const { return m_note; }
    QStringList fileNames() const;

private:
    DeltaRelease m_delta;
    QString m_note;
    std::unique_ptr<QTemporaryFile> m_zpack;
    std::vector<std::unique_ptr<QTemporaryFile>> m_patches; // as m_delta.patches
};

} // namespace Updater::Release
