#pragma once

#include <QString>
#include <QtGlobal>

// The console's endpoint on Windows is a named pipe, and pipe names are
// machine-wide: any account may make \\.\pipe\tunaris-console-COM5 first
// and wait for the commands. So the owner of a port makes the first
// instance of its pipe itself, open to this account alone, or serves none;
// and every sender checks whose program serves the pipe before writing.
// Windows only.

// Holds the first instance of a pipe, made with FILE_FLAG_FIRST_PIPE_INSTANCE
// and an access list that lets only this account in (or make more
// instances), from construction until destruction. Meanwhile the owner's
// local server makes the instances it serves; once it does, the name is
// ours for as long as it serves, and this one can go.
class PipeClaim
{
public:
    // `name` as QLocalServer takes it, without \\.\pipe\.
    explicit PipeClaim(const QString &name);
    ~PipeClaim();
    PipeClaim(const PipeClaim &) = delete;
    PipeClaim &operator=(const PipeClaim &) = delete;

    // Empty when the pipe is ours; else why not, naming the pipe.
    QString refusal() const { return m_refusal; }

private:
    void *m_handle = nullptr;
    QString m_refusal;
};

// Who serves the connected pipe `pipe` (a client's handle), when that is not
// this account: "process 1234 (PC\bob)", or a program whose account cannot
// be told, with the reason. Empty when the program serving it runs as this
// account.
QString pipeServerOfAnotherAccount(qintptr pipe);
