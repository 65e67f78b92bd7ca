#pragma once

#include <QFile>
#include <QString>

/// Compares a file with a reference file a piece at a time, so that a
/// directory of any size costs a piece of memory and the event loop runs
/// between the slices.
class FileComparison
{
public:
    enum class Mode {
        /// Both files hold the same bytes.
        Same,
        /// The file begins with all the bytes of the reference.
        Prefix,
    };

    FileComparison(const QString &path, const QString &reference, Mode mode);

    /// Compares for about budgetMs milliseconds (all of it when negative).
    /// True once decided.
    bool step(int budgetMs = -1);
    /// The outcome, once step() has returned true. False when either file
    /// cannot be read.
    bool matches() const { return m_matches; }

private:
    QFile m_file;
    QFile m_reference;
    bool m_done = false;
    bool m_matches = false;
};
