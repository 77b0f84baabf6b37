// A stand-in for the Dovrel application, started by the launcher as `cli.mjs gui --app <bundle>`.
// It walks once through what the native side offers: the GitHub sign-in state, the work-folder chooser,
// the confirmation of a project command (run if allowed, with its process tree), and a credential record
// written, read back and removed. Node's standard library only.
import { spawn } from 'node:child_process';
import { createHash, randomBytes } from 'node:crypto';
import { existsSync } from 'node:fs';
import path from 'node:path';

const helperLimitMs = 10 * 60 * 1000; // a dialog waits for the user, but not for ever
const commandLimitMs = 30 * 1000;

function parseArguments(argv) {
  if (argv.length !== 3 || argv[0] !== 'gui' || argv[1] !== '--app' || !path.isAbsolute(argv[2]))
    return null;
  return { bundle: argv[2] };
}

// Runs a program to its end; resolves with its standard output and exit status, never rejects.
function run(program, args, { input = '', cwd, env, limitMs, inheritOutput = false, onStart } = {}) {
  return new Promise((resolve) => {
    let child;
    try {
      child = spawn(program, args, {
        cwd,
        env,
        stdio: ['pipe', inheritOutput ? 'inherit' : 'pipe', 'ignore'],
        timeout: limitMs,
      });
    } catch {
      resolve({ out: '', status: null, pid: null });
      return;
    }
    let out = '';
    child.stdout?.setEncoding('utf8');
    child.stdout?.on('data', (chunk) => { out += chunk; });
    child.stdin.on('error', () => {});
    child.on('error', () => resolve({ out: '', status: null, pid: null }));
    child.on('close', (status) => resolve({ out, status, pid: child.pid }));
    child.stdin.end(input);
    onStart?.(child);
  });
}

async function askHelper(bundle, request) {
  const helper = path.join(bundle, 'Contents/Resources/bin/helper');
  const { out } = await run(helper, [], { input: JSON.stringify(request), limitMs: helperLimitMs });
  try {
    const reply = JSON.parse(out);
    return reply !== null && typeof reply === 'object' ? reply : { ok: false };
  } catch {
    return { ok: false }; // an empty or broken answer is a failure too
  }
}

function languageOfLocale() {
  const locale = process.env.LC_ALL || process.env.LC_MESSAGES || process.env.LANG || '';
  if (locale.startsWith('zh_CN')) return 'zh-CN';
  if (locale.startsWith('zh')) return 'zh-TW';
  return 'en';
}

const skipped = [];

async function showGitHubState(bundle) {
  const reply = await askHelper(bundle, { operation: 'github-status' });
  if (reply.ok === true || typeof reply.state === 'string') {
    console.log(`GitHub sign-in: ${reply.state} (authenticated: ${reply.authenticated === true})`);
    return;
  }
  skipped.push('GitHub sign-in state (the helper could not tell it)');
}

async function chooseWorkFolder(bundle) {
  const reply = await askHelper(bundle, { operation: 'choose-folder', language: languageOfLocale() });
  if (reply.ok !== true) {
    skipped.push('folder chooser (no dialog could be shown: is there a display?)');
    skipped.push('project command and its process tree (they need a work folder)');
    return null;
  }
  if (typeof reply.path !== 'string') {
    console.log('No work folder chosen.');
    return null;
  }
  console.log(`Work folder: ${reply.path}`);
  return reply.path;
}

async function showProcessTree(bundle, pid) {
  const pidlens = path.join(bundle, 'Contents/Resources/bin/pidlens');
  if (!existsSync(pidlens)) {
    skipped.push('process tree (pidlens is not in the bundle yet)');
    return;
  }
  const { out, status } = await run(pidlens, ['--tree', String(pid)], { limitMs: 5000 });
  if (status !== 0) {
    skipped.push(`process tree (pidlens ended with status ${status})`);
    return;
  }
  try {
    for (const entry of JSON.parse(out))
      console.log(`  pid ${entry.pid}  parent ${entry.parentPid}  ${entry.executable ?? ''}`);
  } catch {
    console.log(`  ${out.trim()}`);
  }
}

async function runProjectCommand(bundle, folder) {
  const nonce = randomBytes(24).toString('hex');
  const command = 'ls -la && sleep 1';
  const reply = await askHelper(bundle, {
    operation: 'confirm-project-command',
    action: 'check',
    nonce,
    cwd: folder,
    command,
    script: 'ls -la: lists the work folder; sleep 1: waits a second so that its process tree can be seen',
  });
  if (reply.ok !== true || reply.nonce !== nonce) {
    skipped.push('project command (the confirmation could not be shown)');
    return;
  }
  if (reply.approved !== true) {
    console.log('The project command was not allowed; nothing was run.');
    return;
  }
  console.log(`Running: ${command}`);
  let tree = Promise.resolve();
  // Give the shell a moment to start its own children before looking at them.
  const onStart = (child) => {
    tree = new Promise((resolve) => setTimeout(resolve, 300)).then(() => showProcessTree(bundle, child.pid));
  };
  const env = { ...process.env, PATH: process.env.PATH ?? '/usr/local/bin:/usr/bin:/bin' };
  const { status } = await run('/bin/sh', ['-c', command], {
    cwd: folder, env, limitMs: commandLimitMs, inheritOutput: true, onStart,
  });
  await tree;
  console.log(`The project command ended with status ${status}.`);
}

async function storeAndReadBack(bundle) {
  const account = createHash('sha256').update('dovrel stand-in application').digest('hex');
  const values = { note: `written by the stand-in application at ${new Date().toISOString()}` };
  const written = await askHelper(bundle, { operation: 'write', account, values });
  if (written.ok !== true) {
    skipped.push('credential store (no Secret Service reachable)');
    return;
  }
  const read = await askHelper(bundle, { operation: 'read', account });
  const same = read.ok === true && read.values?.note === values.note;
  console.log(`Credential record written and read back: ${same ? 'same' : 'DIFFERENT'}`);
  await askHelper(bundle, { operation: 'remove', account });
}

async function main() {
  const options = parseArguments(process.argv.slice(2));
  if (options === null) {
    console.error('usage: cli.mjs gui --app <bundle>');
    return 2;
  }
  await showGitHubState(options.bundle);
  const folder = await chooseWorkFolder(options.bundle);
  if (folder !== null) await runProjectCommand(options.bundle, folder);
  await storeAndReadBack(options.bundle);
  for (const part of skipped) console.log(`Skipped: ${part}`);
  return 0;
}

process.exitCode = await main();
