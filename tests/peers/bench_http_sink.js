#!/usr/bin/env node
// A counting HTTP sink for the load scripts in bench/: answers every request with an
// empty 200 at once (keep-alive allowed) and counts them, so that an SMS gateway that
// hands received SMS to a web address can be measured. Written in node rather than
// Python so that the sink is never the slowest part of the measurement.
//
//   node bench_http_sink.js      listens on a free loopback port
//
// Output: {"event":"listening","port":N} first. Commands on standard input, one JSON
// object a line:
//   {"cmd":"expect","count":10000}  report {"event":"reached","count":n,"t":ms} once
//                                   that many requests have arrived (wall-clock ms)
//   {"cmd":"stats"}                 report {"event":"stats","requests":n,"sample":url}
// It ends when standard input closes or on SIGTERM.
'use strict';

const http = require('http');
const readline = require('readline');
const {performance} = require('perf_hooks');

const now = () => performance.timeOrigin + performance.now();
const report = (obj) => process.stdout.write(JSON.stringify(obj) + '\n');

let requests = 0;
let expect = 0;
let sample = '';

const server = http.createServer(function(req, res) {
    req.resume();
    req.on('end', function() {
        requests++;
        sample = req.url;
        res.writeHead(200, {'Content-Type': 'text/plain', 'Content-Length': 0});
        res.end();
        if (expect && requests === expect) {
            expect = 0;
            report({event: 'reached', count: requests, t: now()});
        }
    });
});
server.keepAliveTimeout = 60000;

readline.createInterface({input: process.stdin}).on('line', function(line) {
    let c;
    try {
        c = JSON.parse(line);
    } catch (e) {
        report({event: 'bad_command', line: line});
        return;
    }
    if (c.cmd === 'expect') {
        if (requests >= c.count) report({event: 'reached', count: requests, t: now()});
        else expect = Number(c.count);
    } else if (c.cmd === 'stats') {
        report({event: 'stats', requests: requests, sample: sample});
    } else {
        report({event: 'bad_command', line: line});
    }
}).on('close', () => process.exit(0));
process.on('SIGTERM', () => process.exit(0));

server.listen(0, '127.0.0.1', () => report({event: 'listening', port: server.address().port}));
