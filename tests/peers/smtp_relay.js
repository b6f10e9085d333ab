#!/usr/bin/env node
// A mail relay for the system tests, built on the npm `smtp-server` package: the kind
// of relay a provider offers on port 587, with STARTTLS and AUTH. It listens on
// loopback, reports every mail it takes as one JSON line on standard output, and ends
// when standard input closes (or on SIGTERM), so the test that started it stops it.
//
//   node smtp_relay.js --key FILE --cert FILE [--user NAME --pass WORD] [--no-starttls]
//
// With a user, AUTH (PLAIN or LOGIN) is required before MAIL, and is offered only once
// the connection is encrypted (unless --no-starttls, where it is offered in the clear).
// Without --no-starttls, MAIL on an unencrypted connection is refused.
//
// Output lines: {"event":"listening","port":N} first, then for every mail
//   {"event":"mail","from":"..","rcpt":[".."],"secure":true,"user":"..","data":".."}
// and {"event":"auth_failed","user":".."} for every refused AUTH.
"use strict";
const fs = require("fs");
const { SMTPServer } = require("smtp-server");

const args = process.argv.slice(2);
function opt(name) {
    const i = args.indexOf(name);
    return i >= 0 ? args[i + 1] : undefined;
}
const user = opt("--user");
const pass = opt("--pass");
const noStarttls = args.includes("--no-starttls");

function emit(ev) {
    process.stdout.write(JSON.stringify(ev) + "\n");
}

const server = new SMTPServer({
    key: fs.readFileSync(opt("--key")),
    cert: fs.readFileSync(opt("--cert")),
    logger: false,
    authMethods: ["PLAIN", "LOGIN"],
    authOptional: !user,
    disabledCommands: noStarttls ? ["STARTTLS"] : (user ? [] : ["AUTH"]),
    allowInsecureAuth: noStarttls,
    onAuth(auth, session, cb) {
        if (auth.username === user && auth.password === pass) return cb(null, { user });
        emit({ event: "auth_failed", user: auth.username });
        const err = new Error("Invalid username or password");
        err.responseCode = 535;
        cb(err);
    },
    onMailFrom(address, session, cb) {
        if (!noStarttls && !session.secure) {
            const err = new Error("Must issue a STARTTLS command first");
            err.responseCode = 530;
            return cb(err);
        }
        cb();
    },
    onData(stream, session, cb) {
        const chunks = [];
        stream.on("data", (c) => chunks.push(c));
        stream.on("end", () => {
            emit({
                event: "mail",
                from: session.envelope.mailFrom ? session.envelope.mailFrom.address : "",
                rcpt: session.envelope.rcptTo.map((r) => r.address),
                secure: session.secure,
                user: session.user || null,
                data: Buffer.concat(chunks).toString("latin1"),
            });
            cb();
        });
    },
});

server.listen(0, "127.0.0.1", () => emit({ event: "listening", port: server.server.address().port }));
function stop() {
    server.close(() => process.exit(0));
    setTimeout(() => process.exit(0), 2000).unref();
}
process.stdin.on("end", stop);
process.stdin.resume();
process.on("SIGTERM", stop);
