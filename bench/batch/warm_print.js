// Warm Puppeteer contender: one browser kept for the whole run, each page in
// a new incognito browser context, printed to PDF, N at a time. It speaks the
// batch protocol (job lines in, result lines out) so that one driver times
// it and halvern --batch alike.
//   node warm_print.js BROWSER WORKERS [SWITCH...]
// Job line: {"id": ..., "args": [URL, OUTPUT]}; result line:
// {"id", "status", "elapsedMs", "error", "log"}.
const readline = require('readline');
const puppeteer = require('puppeteer-core');

// halvern's defaults: A4 to the hundredth of a point, no margins, backgrounds,
// screen media, a 1024 px view printed at the scale that fits it on the paper.
const PAPER_IN = { width: 595.28 / 72, height: 841.89 / 72 };
const VIEW = { width: 1024, height: 768 };
const SCALE = (595.28 / 72 * 96) / VIEW.width;

async function printOne(browser, url, out) {
  const context = browser.createBrowserContext ? await browser.createBrowserContext()
                                               : await browser.createIncognitoBrowserContext();
  try {
    const page = await context.newPage();
    await page.setViewport(VIEW);
    await page.emulateMediaType('screen');
    await page.goto(url, { waitUntil: 'load', timeout: 30000 });
    await page.pdf({ path: out, width: `${PAPER_IN.width}in`, height: `${PAPER_IN.height}in`, scale: SCALE,
                     margin: { top: 0, bottom: 0, left: 0, right: 0 }, printBackground: true, tagged: false,
                     outline: false, timeout: 60000 });
  } finally {
    await context.close();
  }
}

(async () => {
  const [exe, workers, ...switches] = process.argv.slice(2);
  // Only the switches given: the same set halvern starts the browser with,
  // and a blank first page, which halvern opens too and the launch waits for.
  const browser = await puppeteer.launch({ executablePath: exe, headless: 'shell', pipe: true,
                                           ignoreDefaultArgs: true, args: [...switches, 'about:blank'] });
  const queue = [];
  let running = 0, ended = false;
  const done = () => { if (ended && running === 0 && queue.length === 0) browser.close().then(() => process.exit(0)); };
  const next = () => {
    while (running < Number(workers) && queue.length) {
      const job = queue.shift();
      const start = Date.now();
      running++;
      printOne(browser, job.args[0], job.args[1])
        .then(() => ({ status: 0, error: '' }), (e) => ({ status: 1, error: String(e.message || e) }))
        .then((r) => {
          process.stdout.write(JSON.stringify({ id: job.id, status: r.status, elapsedMs: Date.now() - start,
                                                error: r.error, log: [] }) + '\n');
          running--;
          next();
          done();
        });
    }
  };
  const lines = readline.createInterface({ input: process.stdin });
  lines.on('line', (line) => {
    if (!line.trim()) return;
    queue.push(JSON.parse(line));
    next();
  });
  lines.on('close', () => { ended = true; done(); });
})().catch((e) => { console.error(e); process.exit(1); });
