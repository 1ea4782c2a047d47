// Peer for the benchmark: the same browser driven by Puppeteer.
const puppeteer = require('puppeteer-core');
(async () => {
  const [url, out, exe] = process.argv.slice(2);
  const browser = await puppeteer.launch({
    executablePath: exe, headless: 'shell', pipe: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-zygote', '--disable-dev-shm-usage', '--no-first-run',
           '--disable-background-networking', '--disable-component-update'],
  });
  const page = await browser.newPage();
  await page.goto(url, { waitUntil: 'load' });
  await page.pdf({ path: out, format: 'A4', printBackground: true });
  await browser.close();
})().catch((e) => { console.error(e); process.exit(1); });
