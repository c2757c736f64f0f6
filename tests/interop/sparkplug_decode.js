// An independent Sparkplug B decoder (the npm package sparkplug-payload) for watch --sparkplug.
// Reads lines "TOPIC HEXPAYLOAD" (as `mosquitto_sub -F '%t %x'` prints them) and writes one JSON
// line per message: {"topic":..., "payload":{timestamp, seq, metrics:[{name, alias, type, value...}]}}.
// Messages that are not Sparkplug B payloads (STATE) come out as {"topic":..., "text":...}.
'use strict';
const readline = require('readline');
const sparkplug = require('sparkplug-payload').get('spBv1.0');

// Longs (bdSeq, 64-bit values, timestamps) as decimal text, so that no digit is lost in JSON.
function plain(value) {
    if (value === null || value === undefined) return value;
    if (typeof value === 'object' && typeof value.toString === 'function' && 'low' in value && 'high' in value) {
        return value.toString();
    }
    if (Array.isArray(value)) return value.map(plain);
    if (Buffer.isBuffer(value)) return value.toString('hex');
    if (typeof value === 'object') {
        const out = {};
        for (const [k, v] of Object.entries(value)) out[k] = plain(v);
        return out;
    }
    return value;
}

const lines = readline.createInterface({ input: process.stdin });
lines.on('line', (line) => {
    const space = line.indexOf(' ');
    if (space < 0) return;
    const topic = line.slice(0, space);
    const bytes = Buffer.from(line.slice(space + 1).trim(), 'hex');
    if (topic.startsWith('spBv1.0/STATE/')) {
        console.log(JSON.stringify({ topic, text: bytes.toString('utf8') }));
        return;
    }
    try {
        console.log(JSON.stringify({ topic, payload: plain(sparkplug.decodePayload(bytes)) }));
    } catch (e) {
        console.log(JSON.stringify({ topic, error: String(e && e.message || e) }));
    }
});
