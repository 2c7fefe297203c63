#ifndef CLIRUNNER_H
#define CLIRUNNER_H

// The command-line tool run in a child process, for the tests that hold it
// to its outputs (HESSIAN_CLI_PATH, defined by the build).

#include <QProcess>
#include <QString>
#include <QStringList>

struct Outcome {
    int exitCode = -1;  // -1: it did not end within a minute, or crashed
    QString out;
    QString err;
};

inline Outcome runCli(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(HESSIAN_CLI_PATH), arguments);
    Outcome outcome;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        return outcome;
    }
    outcome.exitCode = process.exitCode();
    outcome.out = QString::fromUtf8(process.readAllStandardOutput());
    outcome.err = QString::fromUtf8(process.readAllStandardError());
    return outcome;
}

#endif // CLIRUNNER_H
