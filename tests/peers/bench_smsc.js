#!/usr/bin/env node
// A counting SMS centre for the load scripts in bench/, on the npm `smpp` package in
// server mode. Unlike smsc.js (the scripted centre of the system tests) it reports no
// PDU one by one: it answers every submit_sm at once and counts them per bound
// system_id, so that two clients bound with different names can be measured against
// the same centre in one run. It can also push deliver_sm to a client's receiving
// bind with a fixed window and time each answer.
//
//   node bench_smsc.js [--port N]   listens on loopback, on a free port by default
//
// Output: one JSON object a line; {"event":"listening","port":N} first. Commands, one
// JSON object a line on standard input:
//   {"cmd":"expect","system_id":"gw","count":10000}
//       report {"event":"reached","system_id":..,"count":..,"t":ms} when that many
//       submit_sm from binds of that system_id have been answered ("t" is wall-clock
//       milliseconds, as Python's time.time() * 1000)
//   {"cmd":"stats"}   report {"event":"stats","submits":{system_id:n},"binds":{..},
//                     "octets":{system_id: length of its last short_message}}
//   {"cmd":"push","system_id":"gw","count":10000,"window":10,
//    "source_addr":"..","destination_addr":"..","text":".."}
//       send that many deliver_sm over the receiving binds of that system_id, at most
//       "window" unanswered at a time; when every one is answered report
//       {"event":"pushed","ok":n,"failed":n,"t0":ms,"t1":ms,"p50":ms,"p99":ms,
//        "max":ms} with the deliver_sm -> deliver_sm_resp latencies
// It ends when standard input closes or on SIGTERM, dropping every connection.
'use strict';

const path = require('path');
const smpp = require(path.join(__dirname, 'node_modules', 'smpp'));
const defs = require(path.join(__dirname, 'node_modules', 'smpp', 'lib', 'defs'));
const readline = require('readline');
const {performance} = require('perf_hooks');

// Counting needs no decoded texts; leave the octets alone.
defs.filters.message.decode = function(value) { return value; };

const now = () => performance.timeOrigin + performance.now();
const report = (obj) => process.stdout.write(JSON.stringify(obj) + '\n');

const submits = new Map();   // system_id -> answered submit_sm
const expects = new Map();   // system_id -> count wanted
const lengths = new Map();   // system_id -> octets of the last short_message
const sessions = new Set();  // {session, systemId, mode}
let messageId = 1;

function count(systemId) {
    const n = (submits.get(systemId) || 0) + 1;
    submits.set(systemId, n);
    if (expects.get(systemId) === n) {
        expects.delete(systemId);
        report({event: 'reached', system_id: systemId, count: n, t: now()});
    }
}

const server = smpp.createServer(function(session) {
    const entry = {session: session, systemId: '', mode: ''};
    sessions.add(entry);
    const bind = function(pdu) {
        entry.systemId = String(pdu.system_id || '');
        entry.mode = pdu.command.slice(5);
        session.send(pdu.response({system_id: 'BENCH'}));
        report({event: pdu.command, system_id: entry.systemId, t: now()});
    };
    session.on('bind_transmitter', bind);
    session.on('bind_receiver', bind);
    session.on('bind_transceiver', bind);
    session.on('submit_sm', function(pdu) {
        session.send(pdu.response({message_id: String(messageId++)}));
        const sm = pdu.short_message;
        lengths.set(entry.systemId, Buffer.isBuffer(sm) ? sm.length
                    : sm && Buffer.isBuffer(sm.message) ? sm.message.length : 0);
        count(entry.systemId);
    });
    session.on('enquire_link', (pdu) => session.send(pdu.response()));
    session.on('unbind', function(pdu) {
        session.send(pdu.response());
        session.close();
    });
    session.on('close', () => sessions.delete(entry));
    session.on('error', () => sessions.delete(entry));
});

function percentile(sorted, p) {
    if (!sorted.length) return 0;
    const i = Math.min(sorted.length - 1, Math.ceil(p / 100 * sorted.length) - 1);
    return sorted[Math.max(0, i)];
}

function push(c) {
    const receivers = [...sessions].filter((e) => e.systemId === c.system_id &&
                                                  (e.mode === 'receiver' || e.mode === 'transceiver'));
    if (!receivers.length) {
        report({event: 'no_receiver', system_id: c.system_id});
        return;
    }
    const total = Number(c.count), window = Math.max(1, Number(c.window || 1));
    const fields = {
        source_addr: c.source_addr || '447700900123',
        destination_addr: c.destination_addr || '447700900001',
        short_message: Buffer.from(defs.gsmCoder.encode(c.text || 'bench')),
    };
    const latencies = [];
    let sent = 0, answered = 0, ok = 0, next = 0;
    const t0 = now();
    const one = function() {
        const entry = receivers[next++ % receivers.length];
        const started = now();
        sent++;
        const accepted = entry.session.deliver_sm(Object.assign({}, fields), function(resp) {
            latencies.push(now() - started);
            answered++;
            if (resp.command_status === 0) ok++;
            if (sent < total) one();
            else if (answered === total) finish();
        });
        if (!accepted) {  // the connection is gone: count it as failed, keep going
            answered++;
            if (sent < total) setImmediate(one);
            else if (answered === total) finish();
        }
    };
    const finish = function() {
        const t1 = now();
        latencies.sort((a, b) => a - b);
        report({event: 'pushed', system_id: c.system_id, ok: ok, failed: total - ok, t0: t0,
                t1: t1, p50: percentile(latencies, 50), p99: percentile(latencies, 99),
                max: latencies.length ? latencies[latencies.length - 1] : 0});
    };
    for (let i = 0; i < Math.min(window, total); i++) one();
}

function command(line) {
    let c;
    try {
        c = JSON.parse(line);
    } catch (e) {
        report({event: 'bad_command', line: line});
        return;
    }
    if (c.cmd === 'expect') {
        const have = submits.get(c.system_id) || 0;
        if (have >= c.count) report({event: 'reached', system_id: c.system_id, count: have, t: now()});
        else expects.set(c.system_id, Number(c.count));
    } else if (c.cmd === 'stats') {
        const binds = {};
        for (const e of sessions) binds[e.systemId + ':' + e.mode] = (binds[e.systemId + ':' + e.mode] || 0) + 1;
        report({event: 'stats', submits: Object.fromEntries(submits), binds: binds,
                octets: Object.fromEntries(lengths)});
    } else if (c.cmd === 'push') {
        push(c);
    } else {
        report({event: 'bad_command', line: line});
    }
}

function stop() {
    for (const e of sessions) e.session.destroy();
    server.close();
    process.exit(0);
}

const portArg = process.argv.indexOf('--port');
server.listen(portArg > 0 ? Number(process.argv[portArg + 1]) : 0, '127.0.0.1', () => report({event: 'listening', port: server.address().port}));
readline.createInterface({input: process.stdin}).on('line', command).on('close', stop);
process.on('SIGTERM', stop);
