#!/usr/bin/python3
# tests/web/webkit-browser.py: the browser WebKitWebDriver starts for the restore page's
# tests, on WebKitGTK's own library. MiniBrowser, the browser that comes with the driver,
# keeps a throwaway profile under automation (the origin-private file system then fails)
# and a toolbar that holds its window at least 447 px wide; this one keeps its profile in
# the folder given, has no toolbar (the window is the page's viewport) and saves every
# download into the folder given, under the name the page suggests.
#
#   webkit-browser.py --automation --profile=DIR --downloads=DIR
import os
import sys

import gi

gi.require_version('Gtk', '3.0')
gi.require_version('WebKit2', '4.1')
from gi.repository import Gtk, WebKit2  # noqa: E402

options = dict(a[2:].split('=', 1) for a in sys.argv[1:] if a.startswith('--') and '=' in a)
profile = options.get('profile') or sys.exit('webkit-browser.py: --profile=DIR is missing')
downloads = options.get('downloads') or sys.exit('webkit-browser.py: --downloads=DIR is missing')
os.makedirs(downloads, exist_ok=True)

manager = WebKit2.WebsiteDataManager(base_data_directory=os.path.join(profile, 'data'),
                                     base_cache_directory=os.path.join(profile, 'cache'))
context = WebKit2.WebContext(website_data_manager=manager)
context.set_automation_allowed('--automation' in sys.argv)

# The storage the page uses is off by default in WebKitGTK.
settings = WebKit2.Settings()
features = WebKit2.Settings.get_all_features()
for i in range(features.get_length()):
    if features.get(i).get_identifier() in ('FileSystem', 'AccessHandle', 'FileSystemWritableStream',
                                            'StorageAPI', 'StorageAPIEstimate'):
        settings.set_feature_enabled(features.get(i), True)
settings.set_property('allow-file-access-from-file-urls', True)
settings.set_property('enable-developer-extras', True)


def on_destination(download, name):
    download.set_allow_overwrite(True)
    download.set_destination('file://' + os.path.join(downloads, os.path.basename(name)))
    return True


context.connect('download-started', lambda _c, download: download.connect('decide-destination', on_destination))

# What the page reports as an error (an uncaught exception, a rejection no one took, a
# console error), kept for the test to read: WebDriver itself does not pass them on.
errors = WebKit2.UserScript(
    "window.parcelonErrors = [];"
    "addEventListener('error', (e) => parcelonErrors.push(String(e.message)));"
    "addEventListener('unhandledrejection', (e) => parcelonErrors.push('unhandled: ' + String(e.reason)));"
    "{ const error = console.error; console.error = function (...a) { parcelonErrors.push(a.join(' ')); return error.apply(this, a); }; }",
    WebKit2.UserContentInjectedFrames.TOP_FRAME, WebKit2.UserScriptInjectionTime.START, None, None)
content = WebKit2.UserContentManager()
content.add_script(errors)
windows = []


def new_view(automated):
    view = WebKit2.WebView(web_context=context, settings=settings, user_content_manager=content,
                           is_controlled_by_automation=automated)
    window = Gtk.Window()
    window.set_default_size(1280, 800)
    window.add(view)
    window.connect('destroy', lambda _w: windows.remove(window) or (windows or Gtk.main_quit()))
    windows.append(window)
    window.show_all()
    return view


def on_session(_context, session):
    info = WebKit2.ApplicationInfo()
    info.set_name('parcelon-webkit-browser')
    info.set_version(1, 0, 0)
    session.set_application_info(info)
    session.connect('create-web-view', lambda _s: new_view(True))


context.connect('automation-started', on_session)
if '--automation' not in sys.argv:
    new_view(False).load_uri(next((a for a in sys.argv[1:] if not a.startswith('--')), 'about:blank'))
Gtk.main()
