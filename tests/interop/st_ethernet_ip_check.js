// Drives logix-sim with st-ethernet-ip, an independent Logix client from npm, in one of its two
// modes, and prints one line per operation. Any error, or any value other than the demo
// controller's, ends the run with exit status 1.
//   node st_ethernet_ip_check.js <port> connected|unconnected
"use strict";

const port = Number(process.argv[2]);
const mode = process.argv[3];
if (!(port > 0 && port < 65536) || (mode !== "connected" && mode !== "unconnected")) {
    console.error("usage: node st_ethernet_ip_check.js <port> connected|unconnected");
    process.exit(2);
}

// The client always dials 44818; the simulator listens on a free port.
require("st-ethernet-ip/dist/config").EIP_PORT = port;
const { Controller, Tag } = require("st-ethernet-ip");

const close = (a, b) => Math.abs(a - b) < 1e-6;

async function main() {
    const plc = new Controller(mode === "connected");
    plc.timeout_sp = 5000;
    const step = async (what, action, check) => {
        let result;
        try {
            result = await action();
        } catch (e) {
            throw new Error(`${what}: the client reported ${e && e.message ? e.message : JSON.stringify(e)}`);
        }
        const shown = check(result);
        if (typeof shown !== "string")
            throw new Error(`${what}: unexpected result ${JSON.stringify(result, (k, v) => typeof v === "bigint" ? String(v) : v)}`);
        console.log(`${mode}: ${what}: ${shown}`);
    };
    const read = (name, program = null, size = null) => async () => {
        const tag = plc.newTag(name, program, false);
        await plc.readTag(tag, size);
        return tag.value;
    };

    await step(mode === "connected" ? "connect (session, Forward Open, browse, templates)" : "connect (session, browse, templates)", () => plc.connect("127.0.0.1", 0),
               () => `ok, ${plc.tagList.length} tags`);
    await step("controller properties", async () => plc.properties, p =>
        p.name === "1756-L83E/B" && p.version === "33.11" && p.serial_number === 12648430 && !p.faulted
            ? `${p.name} v${p.version} serial ${p.serial_number}` : undefined);
    await step("wall clock", async () => { await plc.readWallClock(); return plc.properties.time; },
               t => t instanceof Date && t.getFullYear() >= 2020 ? t.toISOString() : undefined);
    await step("controller tags", async () => plc.tagList.filter(t => t.program === null).map(t => t.name),
               names => ["DintTag", "LargeArray", "Motor1", "Greeting"].every(n => names.includes(n))
                   ? `${names.length} entries` : undefined);
    await step("program tags", async () => plc.tagList.filter(t => t.program === "MainProgram").map(t => t.name),
               names => ["Counter", "Step", "State", "Pump"].every(n => names.includes(n))
                   ? names.join(" ") : undefined);
    await step("templates", async () => Object.values(plc.templateList).map(t => t._name), names =>
        ["Motor", "MotorStatus", "Recipe", "Ingredient", "STRING"].every(n => names.includes(n))
            ? names.join(" ") : undefined);
    await step("read DINT DintTag", read("DintTag"), v => v === 123456 ? String(v) : undefined);
    await step("read REAL RealTag", read("RealTag"), v => close(v, 3.25) ? String(v) : undefined);
    await step("read BOOL BoolTag", read("BoolTag"), v => v === true ? String(v) : undefined);
    await step("read STRING Greeting", read("Greeting"), v => v === "Hello, Orvane" ? v : undefined);
    await step("read member Motor1.SetPoint", read("Motor1.SetPoint"), v => close(v, 1500) ? String(v) : undefined);
    await step("read nested member Motor1.Status.Speed", read("Motor1.Status.Speed"),
               v => close(v, 1450) ? String(v) : undefined);
    await step("read element DintArray[7]", read("DintArray[7]"), v => v === 7 ? String(v) : undefined);
    await step("read program tag Program:MainProgram.Step", read("Step", "MainProgram"),
               v => v === 3 ? String(v) : undefined);
    await step("read 300 elements of LargeArray (fragmented)", read("LargeArray", null, 300),
               v => Array.isArray(v) && v.length === 300 && v.every(x => x === 0) ? `${v.length} values` : undefined);

    const written = mode === "connected" ? { dint: -7654321, real: -0.375 } : { dint: 24680, real: 1234.5 };
    for (const [name, value] of [["DintTag", written.dint], ["RealTag", written.real]]) {
        await step(`write ${name} = ${value}`, async () => {
            const tag = plc.newTag(name, null, false);
            await plc.readTag(tag);
            tag.value = value;
            await plc.writeTag(tag);
            return true;
        }, () => "ok");
        await step(`read back ${name}`, read(name), v => close(v, value) ? String(v) : undefined);
    }
    // A bit written alone: the client sends a Read-Modify-Write (0x4E) with OR and AND masks.
    for (const bit of [true, false]) {
        await step(`write bit DintTag.4 = ${bit}`, async () => {
            const tag = plc.newTag("DintTag.4", null, false);
            await plc.readTag(tag);
            tag.value = bit;
            await plc.writeTag(tag);
            return true;
        }, () => "ok");
        await step("read back DintTag", read("DintTag"),
                   v => ((v >> 4) & 1) === (bit ? 1 : 0) && (v & ~16) === (written.dint & ~16) ? String(v) : undefined);
    }
    await step("disconnect", () => plc.disconnect(), () => "ok");
}

// The client leaves its time-out timers running; the run ends when the checks do.
main().then(() => process.exit(0), e => {
    console.error(`${mode}: FAILED: ${e.message}`);
    process.exit(1);
});
