#!/usr/bin/python3
"""The demo site in a real browser (headless chromium driven by selenium).

Usage: browser_demo.py BASE_URL CGI_DIR SCREENSHOT_DIR

Walks the site as a visitor: the front page with its counter (decoded in the browser
and compared pixel by pixel with the digit pictures), a valid and an invalid entry,
an entry holding markup and script, a reload after an entry, the pager, search (also
beyond ASCII), edit, delete, an upload (and one too large), the language switch,
export (downloaded) and import, and the script-error page. Then what another site or
a forged request could try: state variables set in the query, changes by GET, posts
without the form's token. Fails on any HTTP error status and on any message in the
browser's console.
"""
import json
import os
import sys
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

base, cgi, shots = sys.argv[1].rstrip('/'), sys.argv[2], sys.argv[3]
os.makedirs(shots, exist_ok=True)
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print('FAIL', what)


options = webdriver.ChromeOptions()
options.binary_location = '/usr/bin/chromium'
for argument in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-dev-shm-usage',
                 '--window-size=1000,900', '--disable-features=Translate'):
    options.add_argument(argument)
options.set_capability('goog:loggingPrefs', {'browser': 'ALL', 'performance': 'ALL'})
driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
driver.set_page_load_timeout(30)


def problems_since_last_look():
    """HTTP error statuses and console messages since the last call."""
    found = []
    for entry in driver.get_log('performance'):
        message = json.loads(entry['message'])['message']
        if message.get('method') == 'Network.responseReceived':
            response = message['params']['response']
            if response['status'] >= 400:
                found.append('HTTP %d for %s' % (response['status'], response['url']))
    for entry in driver.get_log('browser'):
        found.append('console: %s %s' % (entry['level'], entry['message']))
    return found


step = [0]


def visited(name):
    """Screenshot of the page as it stands, and no error so far."""
    step[0] += 1
    driver.save_screenshot(os.path.join(shots, '%02d-%s.png' % (step[0], name)))
    for problem in problems_since_last_look():
        check(False, '%s: %s' % (name, problem))


def by_id(element_id):
    return driver.find_element(By.ID, element_id)


def follow(element):
    """Clicks what leads to another page and waits until that page has loaded."""
    page = driver.find_element(By.TAG_NAME, 'html')
    element.click()
    # While the old page is being replaced, chromium may answer a question about its
    # element with a general error ("Node with given id does not belong to the
    # document") instead of calling it stale: ask again.
    WebDriverWait(driver, 20, ignored_exceptions=(WebDriverException,)).until(
        expected_conditions.staleness_of(page))
    WebDriverWait(driver, 20).until(lambda d: d.execute_script('return document.readyState') == 'complete')


def follow_to(element, part):
    """Clicks a form's button whose post sends the browser on; waits for the page
    whose address holds part."""
    follow(element)
    WebDriverWait(driver, 20, ignored_exceptions=(WebDriverException,)).until(
        lambda d: part in d.current_url and d.execute_script('return document.readyState') == 'complete')


def entry_ids():
    return [e.get_attribute('id') for e in driver.find_elements(By.CSS_SELECTOR, '.entry')]


def sign(who, text, mail=''):
    driver.get(base + '/guestbook.kp')
    by_id('who').send_keys(who)
    if mail:
        by_id('mail').send_keys(mail)
    by_id('text').send_keys(text)
    follow_to(by_id('submit'), 'done=added')


def post_without_token(page, fields):
    """A post as another site would send it: no cookie, no token."""
    data = '&'.join('%s=%s' % (k, urllib.parse.quote(v)) for k, v in fields.items()).encode()
    return urllib.request.urlopen(base + page, data=data).read().decode('utf-8')


def text_of(element_id):
    found = driver.find_elements(By.ID, element_id)
    return found[0].text if found else ''


def read_gd(path):
    """A digit picture (.gd): its pixels as (r, g, b) rows."""
    data = open(path, 'rb').read()
    width, height = data[2] * 256 + data[3], data[4] * 256 + data[5]
    palette = [tuple(data[13 + 4 * i:16 + 4 * i]) for i in range(256)]
    pixels = data[13 + 1024:]
    return [[palette[pixels[y * width + x]] for x in range(width)] for y in range(height)]


def count_of(link):
    for line in open(os.path.join(cgi, 'count_file')).read().splitlines()[1:]:
        name, _, count = line.partition('\t')
        if name == link:
            return int(count)
    return None


def counter_shows(count):
    """Whether the counter image, decoded by the browser, shows count in 5 digits."""
    ok = driver.execute_script(
        'const i = document.getElementById("counter"); return i.complete && i.naturalWidth;')
    if ok != 75:
        return False
    rgb = driver.execute_script('''
        const i = document.getElementById("counter");
        const c = document.createElement("canvas"); c.width = 75; c.height = 20;
        const g = c.getContext("2d"); g.drawImage(i, 0, 0);
        return Array.from(g.getImageData(0, 0, 75, 20).data);''')
    for position, digit in enumerate('%05d' % count):
        picture = read_gd(os.path.join(cgi, 'digits', digit + '.gd'))
        for y in range(20):
            for x in range(15):
                at = 4 * (y * 75 + position * 15 + x)
                if tuple(rgb[at:at + 3]) != picture[y][x]:
                    return False
    return True


# The front page and its counter.
driver.get(base + '/')
check('Kelp demo' in driver.title, 'front page title: ' + driver.title)
check(counter_shows(count_of('demo/index.kp')), 'the counter shows the count of the first visit')
visited('front')
driver.get(base + '/')
check(count_of('demo/index.kp') == 2, 'the counter counted two visits: %s' % count_of('demo/index.kp'))
check(counter_shows(2), 'the counter shows 2')
visited('front-again')

# A valid entry.
driver.get(base + '/guestbook.kp')
by_id('who').send_keys('Browser Visitor')
by_id('mail').send_keys('visitor@example.org')
by_id('text').send_keys('Signed from a real browser.\nSecond line.')
follow_to(by_id('submit'), 'done=added')
check('Thank you' in text_of('notice'), 'a valid entry is thanked for')
check('Signed from a real browser.' in driver.find_element(By.CSS_SELECTOR, '.entry').text,
      'the new entry is listed first')
visited('entry-added')
# The post ended by sending the browser on: a reload adds nothing.
before = entry_ids()
driver.refresh()
WebDriverWait(driver, 20).until(lambda d: d.execute_script('return document.readyState') == 'complete')
check(entry_ids() == before, 'a reload after an entry adds nothing: %s, then %s' % (before, entry_ids()))
visited('entry-reloaded')

# An invalid entry: each error next to its field, the values kept.
by_id('who').clear()
by_id('mail').send_keys('not an address')
follow(by_id('submit'))
check(text_of('err_who') == 'Please fill this in.', 'error next to the name: ' + text_of('err_who'))
check('e-mail' in text_of('err_mail'), 'error next to the e-mail: ' + text_of('err_mail'))
check(text_of('err_text') == 'Please fill this in.', 'error next to the message: ' + text_of('err_text'))
check(by_id('mail').get_attribute('value') == 'not an address', 'the wrong value is kept in its field')
visited('entry-invalid')

# Markup and script in an entry come back as text.
driver.get(base + '/guestbook.kp')
by_id('who').send_keys('<b>Mallory</b>')
by_id('text').send_keys('<script>window.injected = 1</script><img src="/nothing" onerror="window.injected = 2">')
follow_to(by_id('submit'), 'done=added')
entry = driver.find_element(By.CSS_SELECTOR, '.entry')
check('<script>window.injected = 1</script>' in entry.text, 'the script is shown as text')
check(entry.find_elements(By.TAG_NAME, 'b') == [] and entry.find_elements(By.TAG_NAME, 'img') == [],
      'no markup from the entry reached the page')
check(driver.execute_script('return window.injected === undefined;'), 'no script from the entry ran')
visited('entry-script-as-text')

# The pager: with more entries than a page holds, "Older" shows the next ones and
# "Newer" the first again.
for n in range(1, 5):
    sign('Pager Guest %d' % n, 'Entry %d for the pager.' % n)
sign('Bob Müller', 'Grüße aus dem Browser.', 'bob@example.org')
driver.get(base + '/guestbook.kp')
first = entry_ids()
check(len(first) == 5, 'the first page holds five entries: %s' % first)
follow(by_id('older'))
second = entry_ids()
check(second and not set(second) & set(first), 'the older page shows other entries: %s, then %s' % (first, second))
visited('pager-older')
follow(by_id('newer'))
check(entry_ids() == first, 'the newer page shows the first entries again: %s' % entry_ids())
visited('pager-newer')

# Search through the name index, by the beginning of a name; letters beyond ASCII
# are folded as well.
for typed, found, shot in (('BOB MÜ', 'Bob Müller', 'search-umlaut'), ('browser', 'Browser Visitor', 'search')):
    driver.get(base + '/guestbook.kp')
    by_id('q').send_keys(typed)
    follow(by_id('find'))
    names = [e.text for e in driver.find_elements(By.CSS_SELECTOR, '.entry strong')]
    check(names == [found], 'search for %s: %s' % (typed, names))
    visited(shot)

# Edit the entry found, then delete it.
follow(driver.find_element(By.CSS_SELECTOR, '.entry .actions a'))
check(by_id('who').get_attribute('value') == 'Browser Visitor', 'the edit form holds the entry')
check(by_id('mail').get_attribute('value') == '', 'the edit form keeps the e-mail address private')
edit_url = driver.current_url
follow(by_id('language'))
check(by_id('who').get_attribute('value') == 'Browser Visitor' and 'lang=de' in driver.current_url,
      'the language switch keeps the entry: ' + driver.current_url)
driver.get(edit_url)
by_id('text').clear()
by_id('text').send_keys('Changed in the browser.')
follow_to(by_id('submit'), 'done=saved')
check('saved' in text_of('notice'), 'the change is saved: ' + text_of('notice'))
visited('edited')
driver.get(base + '/guestbook.kp?q=Browser')
check('Changed in the browser.' in driver.find_element(By.CSS_SELECTOR, '.entry').text,
      'the list shows the changed text')
follow(driver.find_element(By.CSS_SELECTOR, '.entry .actions a'))
follow_to(by_id('delete'), 'done=deleted')
check('deleted' in text_of('notice'), 'the entry is deleted: ' + text_of('notice'))
visited('deleted')
driver.get(base + '/guestbook.kp?q=Browser')
check(driver.find_elements(By.CSS_SELECTOR, '.entry') == [], 'a deleted entry is no longer listed')
visited('after-delete')

# An upload, shown back.
upload = os.path.join(shots, 'upload.txt')
with open(upload, 'w') as f:
    f.write('uploaded from the browser <i>as text</i>\nsecond line\n')
driver.get(base + '/upload.kp')
by_id('file').send_keys(upload)
follow(by_id('upload'))
check('upload.txt' in text_of('received'), 'the upload is acknowledged: ' + text_of('received'))
check(text_of('content') == 'uploaded from the browser <i>as text</i>\nsecond line',
      'the upload is shown back as text: %r' % text_of('content'))
visited('upload')
large = os.path.join(shots, 'large.txt')
with open(large, 'w') as f:
    f.write('x' * 1100000)
by_id('file').send_keys(large)
follow(by_id('upload'))
check('larger than 1 MB' in text_of('refused'), 'a file too large is told so: ' + text_of('refused'))
visited('upload-too-large')

# The language switch.
driver.get(base + '/guestbook.kp')
follow(by_id('language'))
check(driver.find_element(By.TAG_NAME, 'html').get_attribute('lang') == 'de', 'the page is in German')
check('Gästebuch' in driver.find_element(By.TAG_NAME, 'nav').text, 'the menu is in German')
check(driver.find_element(By.CSS_SELECTOR, 'nav a[href^="/upload.kp"]').get_attribute('href').endswith('lang=de'),
      'links keep the language')
visited('german')

# Export, download, import.
driver.get(base + '/transfer.kp')
follow(by_id('export'))
href = by_id('download').get_attribute('href')
exported = urllib.request.urlopen(href).read().decode('utf-8')
check('<b>Mallory</b>' in exported and 'Kelp' in exported, 'the download holds the entries')
check(all(len(line.split('\t')) == 3 for line in exported.splitlines()), 'three fields on every line')
check('@' not in exported, 'the export keeps the e-mail addresses private')
visited('export')
imported = os.path.join(shots, 'import.tsv')
with open(imported, 'w') as f:
    f.write('Imported Guest\tCame in a file\\nwith two lines\t2026-12-01 12:00\n')
    f.write('\tno name, so skipped\t\n')
by_id('tsv').send_keys(imported)
follow(by_id('import'))
check('1 entries added, 1 skipped' in text_of('imported'), 'import counts: ' + text_of('imported'))
driver.get(base + '/guestbook.kp?q=Imported')
check('Came in a file\nwith two lines' in driver.find_element(By.CSS_SELECTOR, '.entry p').text,
      'the imported entry is listed with its line break')
visited('import')

# What another site or a forged request could try.
driver.get(base + '/guestbook.kp?q=Bob')
bob = entry_ids()
check(len(bob) == 1, 'Bob is listed: %s' % bob)
bob_id = bob[0].split('-')[1] if bob else '0'
driver.get(base + '/edit.kp?id=%s&remove=1&form=remove' % bob_id)
driver.get(base + '/guestbook.kp?q=Bob')
check(entry_ids() == bob, 'a GET deletes nothing')
page = post_without_token('/edit.kp', {'id': bob_id, 'form': 'remove', 'token': ''})
check('expired' in page, 'a delete posted without the token is refused')
post_without_token('/guestbook.kp', {'form': 'sign', 'who': 'Forged', 'text': 'from elsewhere'})
driver.get(base + '/guestbook.kp?q=Forged')
check(entry_ids() == [], 'an entry posted without the token is not added')
driver.get(base + '/guestbook.kp?q=Bob')
check(entry_ids() == bob, 'Bob is still listed')
driver.get(base + '/upload.kp?up_status=COMPLETE&up_stored=../guestbook.dbf&up_ext=txt')
check('example.org' not in driver.page_source and text_of('received') == '',
      'state variables set in the query show no stored file')
driver.get(base + '/transfer.kp?imp_file=../exports/guestbook.tsv&imp_path=exports/guestbook.tsv')
check(text_of('imported') == '', 'state variables set in the query import nothing')
visited('forged')

# What a script author sees on a syntax error.
driver.get(base + '/errors.kp')
check('Line 9: Syntax Error: Unexpected end of file looking for </KpIF>' in text_of('answer'),
      'the error page shows the message: ' + text_of('answer'))
visited('errors')

# The front page on a phone-sized window.
driver.set_window_size(390, 844)
driver.get(base + '/')
check(driver.execute_script('return document.documentElement.scrollWidth <= window.innerWidth;'),
      'the front page fits a phone screen')
visited('phone')

driver.quit()
print('browser: %d steps, %d failures' % (step[0], len(failures)))
sys.exit(1 if failures else 0)
