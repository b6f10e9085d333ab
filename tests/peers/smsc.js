#!/usr/bin/env node
// A scriptable SMS centre for the system tests, built on the npm `smpp` package in
// server mode. It listens on loopback, accepts transmitter, receiver and transceiver
// binds, and reports every PDU it gets as one JSON line on standard output. It reads
// commands, one JSON object a line, on standard input, and ends when standard input
// closes (or on SIGTERM), so the test that started it always stops it.
//
//   node smsc.js [--port N] [--bind-status N] [--submit-status N] [--silent]
//                [--system-id TEXT] [--submit-delay MS]
//
// Output lines: {"event":"listening","port":N} first, then for example
//   {"event":"bind_transmitter","session":1,"system_id":"u",...}
//   {"event":"submit_sm","session":1,"source_addr":"..","destination_addr":"..",
//    "short_message_hex":"..","text":".."}
//   {"event":"deliver_sm_resp","session":2,"sequence_number":3,"command_status":0}
//   {"event":"close","session":1}
//
// Commands:
//   {"cmd":"set","bind_status":13}      refuse binds with that status (0 accepts)
//   {"cmd":"set","submit_status":69}    answer submit_sm with that status
//   {"cmd":"set","silent":true}         answer nothing at all from now on
//   {"cmd":"set","submit_delay":200}    answer each submit_sm that many ms late
//   {"cmd":"set","hold":true}           keep submit_sm answers until "release"
//   {"cmd":"set","silent_submits":1}    leave the next N submit_sm unanswered
//   {"cmd":"set","throttle":5}          answer the next N submit_sm with 0x58
//   {"cmd":"set","silent_enquire":true} leave enquire_link unanswered
//   {"cmd":"release"}                   send every held submit_sm answer
//   {"cmd":"deliver","source_addr":"447700900123","destination_addr":"4412",
//    "text":"hello"}                     deliver_sm on every bound receiver; also
//      "hex" (short_message octets), "data_coding", "esm_class", "source_addr_ton",
//      "payload_hex" (message_payload), "sar":[ref,total,seq], "count" (that many
//      back to back, each text followed by " " and its number from 0)
//   {"cmd":"receipt","message_id":"msg1","stat":"DELIVRD","err":"000",
//    "destination_addr":"..","source_addr":"..","tlv":true}
//                                       a delivery receipt (esm_class 0x04; with tlv
//                                       also receipted_message_id and message_state)
//   {"cmd":"enquire_link"}              enquire_link on every session
//   {"cmd":"unbind"}                    unbind every session
//   {"cmd":"disconnect"}                drop every connection
//
// Every submit_sm event carries "t" (milliseconds, for rates), the octets as sent
// ("short_message_hex", "message_payload_hex") and the sar_* parameters, and
// "message_id" when it is answered with one.
'use strict';

const smpp = require('smpp');
const defs = require('smpp/lib/defs');
const readline = require('readline');

// The tests compare octets as they went over the wire: no decoding by data_coding.
defs.filters.message.decode = function(value) { return value; };

const opts = {port: 0, bindStatus: 0, submitStatus: 0, silent: false, systemId: 'SMSC',
              hold: false, silentSubmits: 0, throttle: 0, silentEnquire: false, submitDelay: 0};
const held = [];  // [session, response pdu]
for (let i = 2; i < process.argv.length; i++) {
    const a = process.argv[i];
    const next = () => process.argv[++i];
    if (a === '--port') opts.port = Number(next());
    else if (a === '--bind-status') opts.bindStatus = Number(next());
    else if (a === '--submit-status') opts.submitStatus = Number(next());
    else if (a === '--silent') opts.silent = true;
    else if (a === '--system-id') opts.systemId = next();
    else if (a === '--submit-delay') opts.submitDelay = Number(next());
    else {
        process.stderr.write('smsc.js: unknown argument ' + a + '\n');
        process.exit(2);
    }
}

function report(obj) {
    process.stdout.write(JSON.stringify(obj) + '\n');
}

function text_of(field) {
    if (field === undefined || field === null) return {hex: '', text: ''};
    const buf = Buffer.isBuffer(field) ? field
        : Buffer.isBuffer(field.message) ? field.message
        : Buffer.from(String(field.message !== undefined ? field.message : field), 'latin1');
    return {hex: buf.toString('hex'), text: buf.toString('latin1')};
}

const sessions = new Map();  // number -> {session, mode}
let nextSession = 1;
let messageId = 1;

const server = smpp.createServer(function(session) {
    const id = nextSession++;
    const entry = {session: session, mode: null};
    sessions.set(id, entry);
    report({event: 'connect', session: id});

    // Octets as the client wrote them: the package decodes short_message by
    // data_coding, and the tests compare what went over the wire.
    session.on('pdu', function(pdu) {
        const ev = {event: pdu.command, session: id, sequence_number: pdu.sequence_number,
                    command_status: pdu.command_status};
        for (const k of ['system_id', 'password', 'system_type', 'interface_version',
                         'addr_ton', 'addr_npi', 'address_range', 'service_type',
                         'source_addr_ton', 'source_addr_npi', 'source_addr', 'dest_addr_ton',
                         'dest_addr_npi', 'destination_addr', 'data_coding', 'esm_class',
                         'registered_delivery', 'message_id']) {
            if (pdu[k] !== undefined) ev[k] = pdu[k];
        }
        if (pdu.command === 'submit_sm') {
            const t = text_of(pdu.short_message);
            ev.short_message_hex = t.hex;
            ev.text = t.text;
            ev.t = Date.now();
            if (pdu.message_payload !== undefined)
                ev.message_payload_hex = text_of(pdu.message_payload).hex;
            for (const k of ['sar_msg_ref_num', 'sar_total_segments', 'sar_segment_seqnum'])
                if (pdu[k] !== undefined) ev[k] = pdu[k];
            if (!opts.silent && !opts.silentSubmits && !opts.throttle && !opts.submitStatus)
                ev.message_id = 'msg' + messageId;
        }
        report(ev);
        if (opts.silent) return;
        answer(entry, pdu);
    });
    session.on('close', function() {
        sessions.delete(id);
        report({event: 'close', session: id});
    });
    session.on('error', function(e) {
        report({event: 'error', session: id, message: String(e && e.message || e)});
    });
});

function answer(entry, pdu) {
    const session = entry.session;
    switch (pdu.command) {
        case 'bind_transmitter':
        case 'bind_receiver':
        case 'bind_transceiver':
            if (opts.bindStatus) {
                session.send(pdu.response({command_status: opts.bindStatus}));
                return;
            }
            entry.mode = pdu.command.slice(5);
            session.send(pdu.response({system_id: opts.systemId}));
            return;
        case 'submit_sm': {
            let resp;
            if (opts.silentSubmits > 0) {
                opts.silentSubmits--;
                return;
            }
            if (opts.throttle > 0) {
                opts.throttle--;
                resp = pdu.response({command_status: 0x58});
            } else if (opts.submitStatus) {
                resp = pdu.response({command_status: opts.submitStatus});
            } else {
                resp = pdu.response({message_id: 'msg' + messageId++});
            }
            if (opts.hold) held.push([session, resp]);
            else if (opts.submitDelay) setTimeout(() => session.send(resp), opts.submitDelay);
            else session.send(resp);
            return;
        }
        case 'enquire_link':
            if (!opts.silentEnquire) session.send(pdu.response());
            return;
        case 'unbind':
            session.send(pdu.response());
            session.close();
            return;
        default:
            return;  // responses (deliver_sm_resp, enquire_link_resp, ...) are only reported
    }
}

function each(fn) {
    for (const [id, entry] of sessions) fn(entry, id);
}

function command(line) {
    let c;
    try {
        c = JSON.parse(line);
    } catch (e) {
        report({event: 'bad_command', line: line});
        return;
    }
    switch (c.cmd) {
        case 'set':
            if (c.bind_status !== undefined) opts.bindStatus = Number(c.bind_status);
            if (c.submit_status !== undefined) opts.submitStatus = Number(c.submit_status);
            if (c.silent !== undefined) opts.silent = !!c.silent;
            if (c.submit_delay !== undefined) opts.submitDelay = Number(c.submit_delay);
            if (c.hold !== undefined) opts.hold = !!c.hold;
            if (c.silent_submits !== undefined) opts.silentSubmits = Number(c.silent_submits);
            if (c.throttle !== undefined) opts.throttle = Number(c.throttle);
            if (c.silent_enquire !== undefined) opts.silentEnquire = !!c.silent_enquire;
            break;
        case 'release':
            while (held.length) {
                const [session, resp] = held.shift();
                session.send(resp);
            }
            break;
        case 'deliver':
        case 'receipt': {
            const fields = {
                source_addr: c.source_addr || '',
                source_addr_ton: c.source_addr_ton || 0,
                destination_addr: c.destination_addr || '',
                data_coding: c.data_coding || 0,
                esm_class: c.esm_class || 0,
            };
            if (c.cmd === 'receipt') {
                fields.esm_class = 0x04;
                const text = 'id:' + c.message_id + ' sub:001 dlvrd:' +
                    (c.stat === 'DELIVRD' ? '001' : '000') + ' submit date:2612081200 ' +
                    'done date:2612081201 stat:' + c.stat + ' err:' + (c.err || '000') +
                    ' text:';
                fields.short_message = Buffer.from(text, 'latin1');
                if (c.tlv) {
                    fields.receipted_message_id = c.message_id;
                    const states = {DELIVRD: 2, EXPIRED: 3, DELETED: 4, UNDELIV: 5,
                                    ACCEPTD: 6, UNKNOWN: 7, REJECTD: 8};
                    fields.message_state = states[c.stat] || 7;
                }
            } else {
                // A text goes as a centre sends it with data_coding 0: GSM septets.
                fields.short_message = c.hex !== undefined ? Buffer.from(c.hex, 'hex')
                    : Buffer.from(defs.gsmCoder.encode(c.text || ''));
                if (c.payload_hex !== undefined)
                    fields.message_payload = Buffer.from(c.payload_hex, 'hex');
                if (c.sar) {
                    fields.sar_msg_ref_num = c.sar[0];
                    fields.sar_total_segments = c.sar[1];
                    fields.sar_segment_seqnum = c.sar[2];
                }
            }
            // "count":N sends N at once, back to back, the text of each followed by its
            // number (" 0", " 1", ...).
            const count = c.count || 1;
            let sent = 0;
            each(function(entry, id) {
                if (entry.mode !== 'receiver' && entry.mode !== 'transceiver') return;
                for (let i = 0; i < count; i++) {
                    const f = Object.assign({}, fields);
                    if (c.count && c.cmd === 'deliver' && c.hex === undefined)
                        f.short_message = Buffer.from(defs.gsmCoder.encode((c.text || '') + ' ' + i));
                    entry.session.deliver_sm(f);
                }
                sent++;
                report({event: 'delivered', session: id});
            });
            if (!sent) report({event: 'no_receiver'});
            break;
        }
        case 'enquire_link':
            each(function(entry) { entry.session.enquire_link(); });
            break;
        case 'unbind':
            each(function(entry) { entry.session.unbind(); });
            break;
        case 'disconnect':
            each(function(entry) { entry.session.destroy(); });
            break;
        default:
            report({event: 'bad_command', line: line});
    }
    report({event: 'done', cmd: c.cmd});
}

function stop() {
    each(function(entry) { entry.session.destroy(); });
    server.close();
    process.exit(0);
}

server.listen(opts.port, '127.0.0.1', function() {
    report({event: 'listening', port: server.address().port});
});

const rl = readline.createInterface({input: process.stdin});
rl.on('line', command);
rl.on('close', stop);
process.on('SIGTERM', stop);
