<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de_DE">
<context>
    <name>ErrorBox</name>
    <message>
        <source>Connection to the router.</source>
        <translation>Verbindung zum Router.</translation>
    </message>
    <message>
        <source>Connection to the router at %1:%2.</source>
        <translation>Verbindung zum Router unter %1:%2.</translation>
    </message>
    <message>
        <source>Error %1 means: %2.</source>
        <translation>Fehler %1 bedeutet: %2.</translation>
    </message>
    <message>
        <source>Nothing accepts connections at that address and port. Is the router on? Is the address right? The router&apos;s console usually listens on port 23.</source>
        <translation>Unter dieser Adresse und diesem Port nimmt niemand Verbindungen an. Ist der Router eingeschaltet? Stimmt die Adresse? Die Konsole des Routers ist meist über Port 23 erreichbar.</translation>
    </message>
    <message>
        <source>No answer from that address. Is the router on and connected to this network? Is the address right?</source>
        <translation>Keine Antwort von dieser Adresse. Ist der Router eingeschaltet und mit diesem Netzwerk verbunden? Stimmt die Adresse?</translation>
    </message>
    <message>
        <source>The router ended the connection. Is another console session open on it?</source>
        <translation>Der Router hat die Verbindung beendet. Ist auf ihm bereits eine andere Konsolensitzung geöffnet?</translation>
    </message>
    <message>
        <source>The address must be four numbers from 0 to 255 separated by dots, such as 192.168.0.1, and the port a number from 1 to 65535.</source>
        <translation>Die Adresse muss aus vier durch Punkte getrennten Zahlen von 0 bis 255 bestehen, etwa 192.168.0.1, und der Port eine Zahl von 1 bis 65535 sein.</translation>
    </message>
    <message>
        <source>Type the router&apos;s address on the Settings tab, such as 192.168.0.1.</source>
        <translation>Geben Sie die Adresse des Routers auf der Registerkarte „Einstellungen“ ein, etwa 192.168.0.1.</translation>
    </message>
    <message>
        <source>The router&apos;s port on the Settings tab must be a number from 1 to 65535.</source>
        <translation>Der Port des Routers auf der Registerkarte „Einstellungen“ muss eine Zahl von 1 bis 65535 sein.</translation>
    </message>
    <message>
        <source>Sent by the router at %1:%2.</source>
        <translation>Gesendet vom Router unter %1:%2.</translation>
    </message>
    <message>
        <source>Is the router on? Is the address right?</source>
        <translation>Ist der Router eingeschaltet? Stimmt die Adresse?</translation>
    </message>
    <message>
        <source>The %1&apos;s port on the Settings tab must be a number from 1 to 65535.</source>
        <translation>%1: Der Port auf der Registerkarte „Einstellungen“ muss eine Zahl von 1 bis 65535 sein.</translation>
    </message>
    <message>
        <source>The %1 on port %2.</source>
        <translation>%1 auf Port %2.</translation>
    </message>
    <message>
        <source>The %1 could not listen on port %2.</source>
        <translation>%1: Port %2 konnte nicht geöffnet werden.</translation>
    </message>
    <message>
        <source>Another program already uses this port. Choose another port on the Settings tab, or end that program.</source>
        <translation>Ein anderes Programm verwendet diesen Port bereits. Wählen Sie auf der Registerkarte „Einstellungen“ einen anderen Port oder beenden Sie das andere Programm.</translation>
    </message>
    <message>
        <source>Ports below 1024 need administrator rights. Choose a port from 1024 to 65535 on the Settings tab.</source>
        <translation>Ports unter 1024 erfordern Administratorrechte. Wählen Sie auf der Registerkarte „Einstellungen“ einen Port von 1024 bis 65535.</translation>
    </message>
    <message>
        <source>The address to listen on is not one of this computer&apos;s addresses.</source>
        <translation>Die Adresse, auf der Verbindungen angenommen werden sollen, gehört nicht zu diesem Computer.</translation>
    </message>
    <message>
        <source>The port must be a number from 0 to 65535.</source>
        <translation>Der Port muss eine Zahl von 0 bis 65535 sein.</translation>
    </message>
    <message>
        <source>telnet relay (remote console)</source>
        <translation>Telnet-Weiterleitung (Fernkonsole)</translation>
    </message>
    <message>
        <source>web server (status page)</source>
        <translation>Webserver (Statusseite)</translation>
    </message>
    <message>
        <source>Checking for a new version at %1.
Is this computer connected to the Internet? A firewall or proxy may be in the way. Try again later.</source>
        <translation>Suche nach einer neuen Version bei %1.
Ist dieser Computer mit dem Internet verbunden? Eventuell ist eine Firewall oder ein Proxy im Weg. Versuchen Sie es später noch einmal.</translation>
    </message>
    <message>
        <source>the update server</source>
        <translation>dem Update-Server</translation>
    </message>
    <message>
        <source>The %1 could not listen on %2.</source>
        <translation>%1: %2 konnte nicht geöffnet werden.</translation>
    </message>
</context>
<context>
    <name>TAboutPage</name>
    <message>
        <source>This release has only been tested with router firmware version 1.50.  Use with any other version may cause unexpected results.</source>
        <translation>Diese Version wurde nur mit der Router-Firmware 1.50 getestet. Mit anderen Firmware-Versionen kann es zu unerwartetem Verhalten kommen.</translation>
    </message>
    <message>
        <source>Write to the author</source>
        <translation>Dem Autor schreiben</translation>
    </message>
    <message>
        <source>The program&apos;s home page</source>
        <translation>Die Website des Programms</translation>
    </message>
    <message>
        <source>Live page in the browser</source>
        <translation>Live-Seite im Browser</translation>
    </message>
    <message>
        <source>Save Router Session for a Bug Report...</source>
        <translation>Router-Sitzung für einen Fehlerbericht speichern...</translation>
    </message>
    <message>
        <source>What the router sent and the monitor typed since the start, the password masked</source>
        <translation>Was der Router seit dem Start gesendet und der Monitor eingegeben hat, das Passwort unkenntlich</translation>
    </message>
</context>
<context>
    <name>TAlerts</name>
    <message>
        <source>Password rejected</source>
        <translation>Passwort abgelehnt</translation>
    </message>
    <message>
        <source>Router connection lost</source>
        <translation>Routerverbindung verloren</translation>
    </message>
    <message>
        <source>Router connection restored</source>
        <translation>Routerverbindung wiederhergestellt</translation>
    </message>
    <message>
        <source>Incoming call</source>
        <translation>Eingehender Anruf</translation>
    </message>
    <message>
        <source>Long data call</source>
        <translation>Lange Datenverbindung</translation>
    </message>
    <message>
        <source>Outgoing call time</source>
        <translation>Ausgehende Anrufzeit</translation>
    </message>
    <message>
        <source>No status</source>
        <translation>Kein Status</translation>
    </message>
    <message>
        <source>%1 on %2</source>
        <translation>%1 auf %2</translation>
    </message>
    <message>
        <source>The alert command %1 did not start</source>
        <translation>Der Alarmbefehl %1 ließ sich nicht starten</translation>
    </message>
    <message>
        <source>The alert command %1 did not start: %2</source>
        <translation>Der Alarmbefehl %1 ließ sich nicht starten: %2</translation>
    </message>
    <message>
        <source>The alert command %1 crashed</source>
        <translation>Der Alarmbefehl %1 ist abgestürzt</translation>
    </message>
    <message>
        <source>The alert command %1 ended with exit status %2</source>
        <translation>Der Alarmbefehl %1 endete mit Status %2</translation>
    </message>
    <message>
        <source>The alert command %1 was not run for &quot;%2&quot;: %3 earlier ones are still running</source>
        <translation>Der Alarmbefehl %1 wurde für „%2“ nicht ausgeführt: %3 frühere laufen noch</translation>
    </message>
    <message>
        <source>The alert command %1 did not end within %2 seconds and was stopped</source>
        <translation>Der Alarmbefehl %1 endete nicht binnen %2 Sekunden und wurde beendet</translation>
    </message>
    <message>
        <source>Call ended</source>
        <translation>Anruf beendet</translation>
    </message>
    <message numerus="yes">
        <source>%n minute</source>
        <translation>
            <numerusform>%n Minute</numerusform>
            <numerusform>%n Minuten</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n minutes</source>
        <translation>
            <numerusform>%n Minute</numerusform>
            <numerusform>%n Minuten</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n second</source>
        <translation>
            <numerusform>%n Sekunde</numerusform>
            <numerusform>%n Sekunden</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source>%n seconds</source>
        <translation>
            <numerusform>%n Sekunde</numerusform>
            <numerusform>%n Sekunden</numerusform>
        </translation>
    </message>
    <message numerus="yes">
        <source> (%n more in the last minute)</source>
        <translation>
            <numerusform> (%n weitere in der letzten Minute)</numerusform>
            <numerusform> (%n weitere in der letzten Minute)</numerusform>
        </translation>
    </message>
    <message>
        <source>The data call on %1 has been up for %2 (limit %3)</source>
        <translation>Die Datenverbindung auf %1 besteht seit %2 (Grenze %3)</translation>
    </message>
    <message>
        <source>Data call on %1 ended after %2</source>
        <translation>Datenverbindung auf %1 nach %2 beendet</translation>
    </message>
    <message>
        <source>Voice call on %1 ended after %2</source>
        <translation>Telefonat auf %1 nach %2 beendet</translation>
    </message>
    <message>
        <source>Outgoing calls today: %1 (limit %2)</source>
        <translation>Ausgehende Anrufe heute: %1 (Grenze %2)</translation>
    </message>
    <message>
        <source>No status from the router for %1</source>
        <translation>Seit %1 kein Status vom Router</translation>
    </message>
</context>
<context>
    <name>TDailyChart</name>
    <message>
        <source>h</source>
        <translation>h</translation>
    </message>
    <message>
        <source>min</source>
        <translation>min</translation>
    </message>
</context>
<context>
    <name>TGraphPage</name>
    <message>
        <source>ISDN Channel B1</source>
        <translation>ISDN-Kanal B1</translation>
    </message>
    <message>
        <source>B1 Average Line Usage</source>
        <translation>Mittlere Auslastung B1</translation>
    </message>
    <message>
        <source>ISDN Channel B2</source>
        <translation>ISDN-Kanal B2</translation>
    </message>
    <message>
        <source>B2 Average Line Usage</source>
        <translation>Mittlere Auslastung B2</translation>
    </message>
</context>
<context>
    <name>THistoryModel</name>
    <message>
        <source>The call was still up when the monitor stopped; it counts until then.</source>
        <translation>Der Anruf bestand noch, als der Monitor beendet wurde; er zählt bis dahin.</translation>
    </message>
    <message>
        <source>Voice, outgoing</source>
        <translation>Telefonat, ausgehend</translation>
    </message>
    <message>
        <source>Voice, incoming</source>
        <translation>Telefonat, eingehend</translation>
    </message>
    <message>
        <source>Data, outgoing</source>
        <translation>Daten, ausgehend</translation>
    </message>
    <message>
        <source>Data, incoming</source>
        <translation>Daten, eingehend</translation>
    </message>
    <message>
        <source>Start</source>
        <translation>Beginn</translation>
    </message>
    <message>
        <source>Ch.</source>
        <translation>Kan.</translation>
    </message>
    <message>
        <source>Call</source>
        <translation>Anruf</translation>
    </message>
    <message>
        <source>Duration</source>
        <translation>Dauer</translation>
    </message>
    <message>
        <source>Caller / address</source>
        <translation>Anrufer / Adresse</translation>
    </message>
    <message>
        <source>Peak</source>
        <translation>Spitze</translation>
    </message>
    <message>
        <source>The router counts packets, not bytes. Estimated volume of the call: about %1 (mean line usage %2 % of 64 kbit/s for %3 s).</source>
        <translation>Der Router zählt Pakete, nicht Bytes. Geschätzte Datenmenge des Anrufs: etwa %1 (mittlere Leitungsauslastung %2 % von 64 kbit/s während %3 s).</translation>
    </message>
    <message>
        <source>Packets sent</source>
        <translation>Pakete gesendet</translation>
    </message>
    <message>
        <source>Packets received</source>
        <translation>Pakete empfangen</translation>
    </message>
</context>
<context>
    <name>THistoryReader</name>
    <message>
        <source>No call history database is open.</source>
        <translation>Es ist keine Anrufliste geöffnet.</translation>
    </message>
    <message>
        <source>Cannot open the call history %1: %2</source>
        <translation>Die Anrufliste %1 lässt sich nicht öffnen: %2</translation>
    </message>
    <message>
        <source>Cannot read the call history %1: %2</source>
        <translation>Die Anrufliste %1 lässt sich nicht lesen: %2</translation>
    </message>
    <message>
        <source>The call history %1 holds no calls yet.</source>
        <translation>Die Anrufliste %1 enthält noch keine Anrufe.</translation>
    </message>
    <message>
        <source>Cannot write the CSV file: %1</source>
        <translation>Die CSV-Datei lässt sich nicht schreiben: %1</translation>
    </message>
</context>
<context>
    <name>THistoryStore</name>
    <message>
        <source>; calls wait and are written once it can be.</source>
        <translation>; Anrufe warten und werden geschrieben, sobald es wieder geht.</translation>
    </message>
    <message>
        <source>The call history %1 is locked by another program; calls wait and are written once it is free.</source>
        <translation>Die Anrufliste %1 ist von einem anderen Programm gesperrt; Anrufe warten und werden geschrieben, sobald sie frei ist.</translation>
    </message>
    <message>
        <source>The call history %1 cannot be written (%2)</source>
        <translation>Die Anrufliste %1 kann nicht geschrieben werden (%2)</translation>
    </message>
    <message>
        <source>The disk holding the call history %1 is full</source>
        <translation>Der Datenträger der Anrufliste %1 ist voll</translation>
    </message>
    <message>
        <source>The call history %1 was damaged; it was kept as %2 and a new one was started.</source>
        <translation>Die Anrufliste %1 war beschädigt; sie wurde als %2 aufbewahrt und eine neue begonnen.</translation>
    </message>
    <message>
        <source>The call history %1 was deleted while the monitor ran; a new one was started.</source>
        <translation>Die Anrufliste %1 wurde während des Betriebs gelöscht; eine neue wurde begonnen.</translation>
    </message>
    <message>
        <source>The call history&apos;s folder %1 cannot be made; calls wait and are written once it can be.</source>
        <translation>Der Ordner %1 der Anrufliste kann nicht angelegt werden; Anrufe warten und werden geschrieben, sobald es wieder geht.</translation>
    </message>
    <message>
        <source>The call history %1 was written by a newer version of the program; it is left as it is and no calls are recorded.</source>
        <translation>Die Anrufliste %1 stammt von einer neueren Programmversion; sie bleibt unverändert und es werden keine Anrufe aufgezeichnet.</translation>
    </message>
    <message>
        <source>The call history %1 has had too much waiting to be written; the oldest totals are being dropped.</source>
        <translation>Für die Anrufliste %1 wartet zu viel auf das Schreiben; die ältesten Summen werden verworfen.</translation>
    </message>
    <message>
        <source>it is locked by another program</source>
        <translation>sie ist von einem anderen Programm gesperrt</translation>
    </message>
    <message>
        <source>the disk is full</source>
        <translation>der Datenträger ist voll</translation>
    </message>
    <message>
        <source>its folder cannot be made</source>
        <translation>ihr Ordner lässt sich nicht anlegen</translation>
    </message>
    <message>
        <source>it was written by a newer version of the program</source>
        <translation>sie stammt von einer neueren Programmversion</translation>
    </message>
    <message>
        <source>%1 holds the call history of %2, not of %3; set [Logging] Database= to another file.</source>
        <translation>%1 enthält die Anrufliste von %2, nicht von %3; setzen Sie [Logging] Database= auf eine andere Datei.</translation>
    </message>
    <message>
        <source>it holds the call history of %1</source>
        <translation>sie enthält die Anrufliste von %1</translation>
    </message>
    <message>
        <source>1 call could not be written to %1: %2</source>
        <translation>1 Anruf konnte nicht in %1 geschrieben werden: %2</translation>
    </message>
    <message>
        <source>%1 calls could not be written to %2: %3</source>
        <translation>%1 Anrufe konnten nicht in %2 geschrieben werden: %3</translation>
    </message>
</context>
<context>
    <name>THistoryTab</name>
    <message>
        <source>From</source>
        <translation>Von</translation>
    </message>
    <message>
        <source>Only calls that started on these days</source>
        <translation>Nur Anrufe, die an diesen Tagen begannen</translation>
    </message>
    <message>
        <source>Both channels</source>
        <translation>Beide Kanäle</translation>
    </message>
    <message>
        <source>Caller or address</source>
        <translation>Anrufer oder Adresse</translation>
    </message>
    <message>
        <source>Export CSV...</source>
        <translation>CSV exportieren...</translation>
    </message>
    <message>
        <source>Save the calls the filters show as a CSV file</source>
        <translation>Die gefilterten Anrufe als CSV-Datei speichern</translation>
    </message>
    <message>
        <source>to</source>
        <translation>bis</translation>
    </message>
    <message>
        <source>Today:</source>
        <translation>Heute:</translation>
    </message>
    <message>
        <source>This month:</source>
        <translation>Diesen Monat:</translation>
    </message>
    <message>
        <source>Connected time per day, last %1 days</source>
        <translation>Verbindungszeit pro Tag, letzte %1 Tage</translation>
    </message>
    <message>
        <source>Connected</source>
        <translation>Verbunden</translation>
    </message>
    <message>
        <source>Outgoing calls</source>
        <translation>Ausgehende Anrufe</translation>
    </message>
    <message>
        <source>Voice, outgoing</source>
        <translation>Telefonat, ausgehend</translation>
    </message>
    <message>
        <source>Export Calls</source>
        <translation>Anrufe exportieren</translation>
    </message>
    <message>
        <source>CSV files (*.csv);;All files (*)</source>
        <translation>CSV-Dateien (*.csv);;Alle Dateien (*)</translation>
    </message>
    <message>
        <source>The call history is off: switch on &quot;Keep a call history&quot; in the Settings tab&apos;s Logging group.</source>
        <translation>Die Anrufliste ist aus: Schalten Sie „Anrufliste führen“ in der Gruppe Protokollierung der Registerkarte Einstellungen ein.</translation>
    </message>
    <message>
        <source>No history to show</source>
        <translation>Keine Anrufliste vorhanden</translation>
    </message>
    <message>
        <source>Cannot write %1: %2</source>
        <translation>%1 lässt sich nicht schreiben: %2</translation>
    </message>
    <message numerus="yes">
        <source>%n call(s) exported to %1</source>
        <translation>
            <numerusform>%n Anruf nach %1 exportiert</numerusform>
            <numerusform>%n Anrufe nach %1 exportiert</numerusform>
        </translation>
    </message>
    <message>
        <source>%1 connected, %2 outgoing calls, %3 packets sent, %4 packets received</source>
        <translation>%1 verbunden, %2 ausgehende Anrufe, %3 Pakete gesendet, %4 Pakete empfangen</translation>
    </message>
</context>
<context>
    <name>TMonitor</name>
    <message>
        <source>%1 holds none of linewatch&apos;s settings sections; not connecting at start</source>
        <translation>%1 enthält keinen Einstellungsabschnitt von linewatch; beim Start wird nicht verbunden</translation>
    </message>
    <message>
        <source>The router&apos;s status screen has a layout this version does not know (firmware %1)</source>
        <translation>Der Statusbildschirm des Routers hat ein Layout, das diese Version nicht kennt (Firmware %1)</translation>
    </message>
</context>
<context>
    <name>TReconnector</name>
    <message>
        <source>Reconnecting in %1 s (%2)</source>
        <translation>Neuer Verbindungsversuch in %1 s (%2)</translation>
    </message>
    <message>
        <source>Reconnecting now</source>
        <translation>Verbindung wird wiederhergestellt</translation>
    </message>
    <message>
        <source>the router closed the connection</source>
        <translation>der Router hat die Verbindung beendet</translation>
    </message>
    <message>
        <source>The connection to the router was lost: </source>
        <translation>Die Verbindung zum Router wurde unterbrochen: </translation>
    </message>
    <message>
        <source>The connection to the router is back</source>
        <translation>Die Verbindung zum Router steht wieder</translation>
    </message>
    <message>
        <source>no data from the router for %1</source>
        <translation>seit %1 keine Daten vom Router</translation>
    </message>
    <message>
        <source>The router rejected the password</source>
        <translation>Der Router hat das Passwort abgelehnt</translation>
    </message>
    <message>
        <source>no answer from the router for %1</source>
        <translation>seit %1 keine Antwort vom Router</translation>
    </message>
    <message>
        <source>Connecting to the router failed: </source>
        <translation>Die Verbindung zum Router kam nicht zustande: </translation>
    </message>
</context>
<context>
    <name>TSettingsPage</name>
    <message>
        <source>Connection</source>
        <translation>Verbindung</translation>
    </message>
    <message>
        <source>Serial:</source>
        <translation>Seriell:</translation>
    </message>
    <message>
        <source>Telnet:</source>
        <translation>Telnet:</translation>
    </message>
    <message>
        <source>The router&apos;s IP address</source>
        <translation>Die IP-Adresse des Routers</translation>
    </message>
    <message>
        <source>Port:</source>
        <translation>Port:</translation>
    </message>
    <message>
        <source>The router&apos;s telnet port</source>
        <translation>Der Telnet-Port des Routers</translation>
    </message>
    <message>
        <source>Password:</source>
        <translation>Passwort:</translation>
    </message>
    <message>
        <source>The router&apos;s console password</source>
        <translation>Das Konsolenpasswort des Routers</translation>
    </message>
    <message>
        <source>Mask</source>
        <translation>Verbergen</translation>
    </message>
    <message>
        <source>Show the password as asterisks</source>
        <translation>Das Passwort als Sternchen anzeigen</translation>
    </message>
    <message>
        <source>Remember Password</source>
        <translation>Passwort speichern</translation>
    </message>
    <message>
        <source>Keep the password in the settings file</source>
        <translation>Das Passwort in der Einstellungsdatei speichern</translation>
    </message>
    <message>
        <source>Auto Reconnect</source>
        <translation>Neu verbinden</translation>
    </message>
    <message>
        <source>Connect again by itself when the router connection is lost; Disconnect stops it</source>
        <translation>Verbindet sich selbst neu, wenn die Verbindung zum Router abreißt; Trennen beendet das</translation>
    </message>
    <message>
        <source>Remote Administration</source>
        <translation>Fernverwaltung</translation>
    </message>
    <message>
        <source>Telnet Port:</source>
        <translation>Telnet-Port:</translation>
    </message>
    <message>
        <source>Relay a remote telnet user to the router&apos;s console</source>
        <translation>Einen entfernten Telnet-Benutzer an die Konsole des Routers weiterleiten</translation>
    </message>
    <message>
        <source>The port the telnet relay listens on</source>
        <translation>Der Port, an dem die Telnet-Weiterleitung Verbindungen annimmt</translation>
    </message>
    <message>
        <source>Web Port:</source>
        <translation>Web-Port:</translation>
    </message>
    <message>
        <source>Serve the status page to web browsers</source>
        <translation>Die Statusseite für Webbrowser bereitstellen</translation>
    </message>
    <message>
        <source>The port the web status server listens on</source>
        <translation>Der Port, an dem der Webserver der Statusseite Verbindungen annimmt</translation>
    </message>
    <message>
        <source>Use Password</source>
        <translation>Passwort verwenden</translation>
    </message>
    <message>
        <source>Auto Refresh</source>
        <translation>Automatisch neu laden</translation>
    </message>
    <message>
        <source>The status page reloads itself</source>
        <translation>Die Statusseite lädt sich selbst neu</translation>
    </message>
    <message>
        <source>Seconds between reloads of the status page</source>
        <translation>Sekunden zwischen zwei Aktualisierungen der Statusseite</translation>
    </message>
    <message>
        <source>Startup</source>
        <translation>Programmstart</translation>
    </message>
    <message>
        <source>Connect to router</source>
        <translation>Mit Router verbinden</translation>
    </message>
    <message>
        <source>Connect to the router when the program starts</source>
        <translation>Beim Programmstart mit dem Router verbinden</translation>
    </message>
    <message>
        <source>Check for updates</source>
        <translation>Nach Updates suchen</translation>
    </message>
    <message>
        <source>Look for a new version when the program starts</source>
        <translation>Beim Programmstart nach einer neuen Version suchen</translation>
    </message>
    <message>
        <source>Show Status Screen</source>
        <translation>Statusbildschirm anzeigen</translation>
    </message>
    <message>
        <source>Check Now</source>
        <translation>Jetzt prüfen</translation>
    </message>
    <message>
        <source>Look for a new version now</source>
        <translation>Jetzt nach einer neuen Version suchen</translation>
    </message>
    <message>
        <source>Graph</source>
        <translation>Grafik</translation>
    </message>
    <message>
        <source>Current Line Use Color:</source>
        <translation>Farbe aktuelle Auslastung:</translation>
    </message>
    <message>
        <source>Line</source>
        <translation>Linie</translation>
    </message>
    <message>
        <source>Line Color</source>
        <translation>Linienfarbe</translation>
    </message>
    <message>
        <source>Back</source>
        <translation>Grund</translation>
    </message>
    <message>
        <source>Background Color</source>
        <translation>Hintergrundfarbe</translation>
    </message>
    <message>
        <source>Grid</source>
        <translation>Raster</translation>
    </message>
    <message>
        <source>Grid Color</source>
        <translation>Rasterfarbe</translation>
    </message>
    <message>
        <source>Average Line Use Color:</source>
        <translation>Farbe mittlere Auslastung:</translation>
    </message>
    <message>
        <source>Logging</source>
        <translation>Protokollierung</translation>
    </message>
    <message>
        <source>Keep a call history</source>
        <translation>Anrufliste führen</translation>
    </message>
    <message>
        <source>Record every call and the daily totals in a database for the History tab</source>
        <translation>Jeden Anruf und die Tagessummen für die Registerkarte Verlauf in einer Datenbank festhalten</translation>
    </message>
    <message>
        <source>Database:</source>
        <translation>Datenbank:</translation>
    </message>
    <message>
        <source>The history&apos;s SQLite file; empty for the usual place, a relative path counts from the settings file&apos;s folder</source>
        <translation>Die SQLite-Datei der Anrufliste; leer für den üblichen Ort, ein relativer Pfad gilt ab dem Ordner der Einstellungsdatei</translation>
    </message>
    <message>
        <source>...</source>
        <translation>...</translation>
    </message>
    <message>
        <source>Choose the database file</source>
        <translation>Die Datenbankdatei wählen</translation>
    </message>
    <message>
        <source>Keep calls:</source>
        <translation>Aufbewahren:</translation>
    </message>
    <message>
        <source>for ever</source>
        <translation>für immer</translation>
    </message>
    <message>
        <source> days</source>
        <translation> Tage</translation>
    </message>
    <message>
        <source>Calls older than this many days are removed; 0 keeps them for ever</source>
        <translation>Ältere Anrufe werden gelöscht; 0 bewahrt sie für immer auf</translation>
    </message>
    <message>
        <source>Administrative Alerts</source>
        <translation>Warnmeldungen</translation>
    </message>
    <message>
        <source>Incoming call</source>
        <translation>Eingehender Anruf</translation>
    </message>
    <message>
        <source>An incoming call&apos;s caller ID and channel</source>
        <translation>Rufnummer und Kanal eines eingehenden Anrufs</translation>
    </message>
    <message>
        <source>Connection lost</source>
        <translation>Verbindung verloren</translation>
    </message>
    <message>
        <source>The router connection lost, back again, or its password rejected</source>
        <translation>Routerverbindung verloren, wiederhergestellt oder Passwort abgelehnt</translation>
    </message>
    <message>
        <source>A call that ended without the Drop, Drop All or Reset command</source>
        <translation>Ein Anruf, der nicht durch Auflegen oder Zurücksetzen beendet wurde</translation>
    </message>
    <message>
        <source>Data call</source>
        <translation>Datenverbindung</translation>
    </message>
    <message>
        <source>A data call up for longer than this</source>
        <translation>Eine Datenverbindung, die länger als diese Zeit besteht</translation>
    </message>
    <message>
        <source> min</source>
        <translation> min</translation>
    </message>
    <message>
        <source>Minutes a data call may last</source>
        <translation>Minuten, die eine Datenverbindung dauern darf</translation>
    </message>
    <message>
        <source>Calls today</source>
        <translation>Anrufe heute</translation>
    </message>
    <message>
        <source>Today&apos;s outgoing call time over this</source>
        <translation>Heutige ausgehende Anrufzeit über diesem Wert</translation>
    </message>
    <message>
        <source>Minutes of outgoing calls a day</source>
        <translation>Minuten ausgehender Anrufe pro Tag</translation>
    </message>
    <message>
        <source>No status</source>
        <translation>Kein Status</translation>
    </message>
    <message>
        <source>No status from the router for this long</source>
        <translation>So lange kein Status vom Router</translation>
    </message>
    <message>
        <source> s</source>
        <translation> s</translation>
    </message>
    <message>
        <source>Seconds without the status screen</source>
        <translation>Sekunden ohne Statusbildschirm</translation>
    </message>
    <message>
        <source>Run:</source>
        <translation>Ausführen:</translation>
    </message>
    <message>
        <source>A program and its arguments to run for each alert, never through a shell; it finds the alert in LINEWATCH_ALERT_KIND and LINEWATCH_ALERT_TEXT</source>
        <translation>Ein Programm mit seinen Argumenten, das bei jeder Warnmeldung ausgeführt wird, nie über eine Shell; es findet die Meldung in LINEWATCH_ALERT_KIND und LINEWATCH_ALERT_TEXT</translation>
    </message>
    <message>
        <source>program &quot;an argument&quot; ...</source>
        <translation>Programm &quot;ein Argument&quot; ...</translation>
    </message>
    <message>
        <source>Call ended</source>
        <translation>Anruf beendet</translation>
    </message>
    <message>
        <source>MQTT</source>
        <translation>MQTT</translation>
    </message>
    <message>
        <source>Publish to:</source>
        <translation>Senden an:</translation>
    </message>
    <message>
        <source>Publish the router&apos;s state to this MQTT broker (a numeric address), for Home Assistant and other MQTT tools</source>
        <translation>Den Zustand des Routers an diesen MQTT-Broker senden (eine numerische Adresse), für Home Assistant und andere MQTT-Programme</translation>
    </message>
    <message>
        <source>The broker&apos;s IPv4 or IPv6 address, such as 127.0.0.1</source>
        <translation>Die IPv4- oder IPv6-Adresse des Brokers, etwa 127.0.0.1</translation>
    </message>
    <message>
        <source>The broker&apos;s port: 1883, or 8883 with TLS</source>
        <translation>Der Port des Brokers: 1883, mit TLS 8883</translation>
    </message>
    <message>
        <source>TLS, CA file:</source>
        <translation>TLS, CA-Datei:</translation>
    </message>
    <message>
        <source>Connect with TLS and check the broker&apos;s certificate against this CA file</source>
        <translation>Mit TLS verbinden und das Zertifikat des Brokers mit dieser CA-Datei prüfen</translation>
    </message>
    <message>
        <source>The certificate authority that signed the broker&apos;s certificate (PEM); empty for the system&apos;s</source>
        <translation>Die Zertifizierungsstelle, die das Zertifikat des Brokers signiert hat (PEM); leer für die des Systems</translation>
    </message>
    <message>
        <source>Choose the CA file</source>
        <translation>CA-Datei auswählen</translation>
    </message>
    <message>
        <source>User:</source>
        <translation>Benutzer:</translation>
    </message>
    <message>
        <source>The user name the broker knows; empty for none</source>
        <translation>Der Benutzername beim Broker; leer für keinen</translation>
    </message>
    <message>
        <source>The broker user&apos;s password, stored scrambled like the router&apos;s</source>
        <translation>Das Passwort des Broker-Benutzers, verschleiert gespeichert wie das des Routers</translation>
    </message>
    <message>
        <source>Client ID:</source>
        <translation>Client-ID:</translation>
    </message>
    <message>
        <source>The client id given to the broker; empty for linewatch- and the router&apos;s address</source>
        <translation>Die Client-ID beim Broker; leer für linewatch- und die Adresse des Routers</translation>
    </message>
    <message>
        <source>Topics:</source>
        <translation>Topics:</translation>
    </message>
    <message>
        <source>The topics&apos; prefix; empty for linewatch/ and the router&apos;s address</source>
        <translation>Das Präfix der Topics; leer für linewatch/ und die Adresse des Routers</translation>
    </message>
    <message>
        <source>Discovery:</source>
        <translation>Discovery:</translation>
    </message>
    <message>
        <source>Announce the router to Home Assistant under this discovery prefix; off removes what was announced</source>
        <translation>Den Router bei Home Assistant unter diesem Discovery-Präfix anmelden; aus entfernt, was angemeldet war</translation>
    </message>
    <message>
        <source>Home Assistant&apos;s discovery prefix, usually homeassistant</source>
        <translation>Das Discovery-Präfix von Home Assistant, meist homeassistant</translation>
    </message>
    <message>
        <source>Allow commands (drop calls, reconnect)</source>
        <translation>Befehle erlauben (Anrufe trennen, neu verbinden)</translation>
    </message>
    <message>
        <source>Let every client of the broker that may publish to the command topics drop calls, reset the counters and reconnect</source>
        <translation>Jeder Client des Brokers, der auf die Befehls-Topics senden darf, kann Anrufe trennen, die Zähler zurücksetzen und neu verbinden</translation>
    </message>
    <message>
        <source>Retain the last values</source>
        <translation>Letzte Werte behalten</translation>
    </message>
    <message>
        <source>The broker keeps each topic&apos;s last value for a dashboard that starts later</source>
        <translation>Der Broker behält den letzten Wert jedes Topics für ein später gestartetes Dashboard</translation>
    </message>
</context>
<context>
    <name>TTelnetRelay</name>
    <message>
        <source>Remote client connected, logging suspended</source>
        <translation>Entfernter Client verbunden, Protokollierung angehalten</translation>
    </message>
</context>
<context>
    <name>TTrayIcon</name>
    <message>
        <source>&amp;Status</source>
        <translation>&amp;Status</translation>
    </message>
    <message>
        <source>&amp;Graph</source>
        <translation>&amp;Grafik</translation>
    </message>
    <message>
        <source>S&amp;ettings</source>
        <translation>&amp;Einstellungen</translation>
    </message>
    <message>
        <source>&amp;Connect</source>
        <translation>&amp;Verbinden</translation>
    </message>
    <message>
        <source>&amp;Drop</source>
        <translation>&amp;Auflegen</translation>
    </message>
    <message>
        <source>B1</source>
        <translation>B1</translation>
    </message>
    <message>
        <source>B2</source>
        <translation>B2</translation>
    </message>
    <message>
        <source>All</source>
        <translation>Alle</translation>
    </message>
    <message>
        <source>&amp;About</source>
        <translation>&amp;Über</translation>
    </message>
    <message>
        <source>E&amp;xit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>Open in &amp;Browser</source>
        <translation>Im Br&amp;owser öffnen</translation>
    </message>
    <message>
        <source>Save Router Session for a Bug Report...</source>
        <translation>Router-Sitzung für einen Fehlerbericht speichern...</translation>
    </message>
</context>
<context>
    <name>TVersionCheck</name>
    <message>
        <source>Update check failed</source>
        <translation>Suche nach Updates fehlgeschlagen</translation>
    </message>
    <message>
        <source>Checking for new version</source>
        <translation>Suche nach neuer Version</translation>
    </message>
    <message>
        <source>New version found: </source>
        <translation>Neue Version gefunden: </translation>
    </message>
    <message>
        <source>No new version found.</source>
        <translation>Keine neue Version gefunden.</translation>
    </message>
</context>
<context>
    <name>TWebServer</name>
    <message>
        <source>HTTP Server Error: %1</source>
        <translation>HTTP-Server-Fehler: %1</translation>
    </message>
</context>
<context>
    <name>TfrmMain</name>
    <message>
        <source>Status</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>ISDN Channel B1</source>
        <translation>ISDN-Kanal B1</translation>
    </message>
    <message>
        <source>Link:</source>
        <translation>Leitung:</translation>
    </message>
    <message>
        <source>Sent:</source>
        <translation>Gesendet:</translation>
    </message>
    <message>
        <source>IP Address:</source>
        <translation>IP-Adresse:</translation>
    </message>
    <message>
        <source>Speed:</source>
        <translation>Datenrate:</translation>
    </message>
    <message>
        <source>Recieved:</source>
        <translation>Empfangen:</translation>
    </message>
    <message>
        <source>Current Line Usage:</source>
        <translation>Aktuelle Auslastung:</translation>
    </message>
    <message>
        <source>Up Time:</source>
        <translation>Dauer:</translation>
    </message>
    <message>
        <source>Errors:</source>
        <translation>Fehler:</translation>
    </message>
    <message>
        <source>Average Line Usage:</source>
        <translation>Mittlere Auslastung:</translation>
    </message>
    <message>
        <source>Caller ID:</source>
        <translation>Anrufer:</translation>
    </message>
    <message>
        <source>Calls received on B1</source>
        <translation>Auf B1 eingegangene Anrufe</translation>
    </message>
    <message>
        <source>ISDN Channel B2</source>
        <translation>ISDN-Kanal B2</translation>
    </message>
    <message>
        <source>Calls received on B2</source>
        <translation>Auf B2 eingegangene Anrufe</translation>
    </message>
    <message>
        <source>Ethernet</source>
        <translation>Ethernet</translation>
    </message>
    <message>
        <source>Status:</source>
        <translation>Status:</translation>
    </message>
    <message>
        <source>Received:</source>
        <translation>Empfangen:</translation>
    </message>
    <message>
        <source>Collisions:</source>
        <translation>Kollisionen:</translation>
    </message>
    <message>
        <source>General</source>
        <translation>Allgemein</translation>
    </message>
    <message>
        <source>Total Outcall Time:</source>
        <translation>Ausgehende Anrufzeit:</translation>
    </message>
    <message>
        <source>Last Call Triggered By:</source>
        <translation>Letzter Anruf ausgelöst von:</translation>
    </message>
    <message>
        <source>Source:</source>
        <translation>Quelle:</translation>
    </message>
    <message>
        <source>Dest:</source>
        <translation>Ziel:</translation>
    </message>
    <message>
        <source>System Information</source>
        <translation>Systeminformationen</translation>
    </message>
    <message>
        <source>Name:</source>
        <translation>Name:</translation>
    </message>
    <message>
        <source>RAS S/W:</source>
        <translation>RAS-Software:</translation>
    </message>
    <message>
        <source>Drop B1</source>
        <translation>B1 auflegen</translation>
    </message>
    <message>
        <source>Drop the call on channel B1</source>
        <translation>Die Verbindung auf Kanal B1 beenden</translation>
    </message>
    <message>
        <source>Drop B2</source>
        <translation>B2 auflegen</translation>
    </message>
    <message>
        <source>Drop the call on channel B2</source>
        <translation>Die Verbindung auf Kanal B2 beenden</translation>
    </message>
    <message>
        <source>Drop All</source>
        <translation>Alle auflegen</translation>
    </message>
    <message>
        <source>Drop the calls on both channels</source>
        <translation>Die Verbindungen auf beiden Kanälen beenden</translation>
    </message>
    <message>
        <source>Reset</source>
        <translation>Zurücksetzen</translation>
    </message>
    <message>
        <source>Reset the router&apos;s counters</source>
        <translation>Die Zähler des Routers zurücksetzen</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>Verbinden</translation>
    </message>
    <message>
        <source>Connect to the router, or disconnect</source>
        <translation>Mit dem Router verbinden oder die Verbindung trennen</translation>
    </message>
    <message>
        <source>Graph</source>
        <translation>Grafik</translation>
    </message>
    <message>
        <source>Settings</source>
        <translation>Einstellungen</translation>
    </message>
    <message>
        <source>About</source>
        <translation>Über</translation>
    </message>
    <message>
        <source>Not Connected</source>
        <translation>Nicht verbunden</translation>
    </message>
    <message>
        <source>Disconnect</source>
        <translation>Trennen</translation>
    </message>
    <message>
        <source>Dis&amp;connect</source>
        <translation>&amp;Trennen</translation>
    </message>
    <message>
        <source>&amp;Connect</source>
        <translation>&amp;Verbinden</translation>
    </message>
    <message>
        <source>Connected</source>
        <translation>Verbunden</translation>
    </message>
    <message>
        <source>The monitor keeps running here. Right-click for its menu; Exit ends it.</source>
        <translation>Der Monitor läuft hier weiter. Ein Rechtsklick öffnet sein Menü; „Beenden“ beendet ihn.</translation>
    </message>
    <message>
        <source>&apos;%1&apos; is not an IPv4 address: type the router&apos;s address as four numbers, such as 192.168.0.1.</source>
        <translation>„%1“ ist keine IPv4-Adresse: Geben Sie die Adresse des Routers als vier Zahlen ein, etwa 192.168.0.1.</translation>
    </message>
    <message>
        <source>Settings not saved: %1</source>
        <translation>Einstellungen nicht gespeichert: %1</translation>
    </message>
    <message>
        <source>History</source>
        <translation>Verlauf</translation>
    </message>
    <message>
        <source>Call History Database</source>
        <translation>Datenbank der Anrufliste</translation>
    </message>
    <message>
        <source>SQLite databases (*.sqlite *.db);;All files (*)</source>
        <translation>SQLite-Datenbanken (*.sqlite *.db);;Alle Dateien (*)</translation>
    </message>
    <message>
        <source>Password rejected</source>
        <translation>Passwort abgelehnt</translation>
    </message>
    <message>
        <source>Cannot save the router session to %1: %2</source>
        <translation>Die Router-Sitzung kann nicht in %1 gespeichert werden: %2</translation>
    </message>
    <message>
        <source>Save Router Session for a Bug Report</source>
        <translation>Router-Sitzung für einen Fehlerbericht speichern</translation>
    </message>
    <message>
        <source>Router sessions (*.capture);;All files (*)</source>
        <translation>Router-Sitzungen (*.capture);;Alle Dateien (*)</translation>
    </message>
    <message>
        <source>CA File</source>
        <translation>CA-Datei</translation>
    </message>
    <message>
        <source>Certificates (*.pem *.crt);;All files (*)</source>
        <translation>Zertifikate (*.pem *.crt);;Alle Dateien (*)</translation>
    </message>
</context>
<context>
    <name>TfrmNewVersion</name>
    <message>
        <source>New Version Available!</source>
        <translation>Neue Version verfügbar!</translation>
    </message>
    <message>
        <source>This Version:</source>
        <translation>Diese Version:</translation>
    </message>
    <message>
        <source>Current Version:</source>
        <translation>Aktuelle Version:</translation>
    </message>
    <message>
        <source>New &amp; Updated Features:</source>
        <translation>Neue und verbesserte Funktionen:</translation>
    </message>
    <message>
        <source>&amp;Close</source>
        <translation>&amp;Schließen</translation>
    </message>
</context>
<context>
    <name>main</name>
    <message>
        <source>Brelwick ISDN Router Monitor: watches the router&apos;s console and shows its lines in a window and the tray.</source>
        <translation>Brelwick ISDN Router Monitor: beobachtet die Konsole des Routers und zeigt seine Leitungen in einem Fenster und im Benachrichtigungsfeld.</translation>
    </message>
    <message>
        <source>The settings file to use (default: linewatch.ini beside the program, or in ~/.config/linewatch/).</source>
        <translation>Die zu verwendende Einstellungsdatei (Standard: linewatch.ini neben dem Programm oder in ~/.config/linewatch/).</translation>
    </message>
    <message>
        <source>FILE</source>
        <translation>DATEI</translation>
    </message>
    <message>
        <source>Start in the notification area.</source>
        <translation>Im Benachrichtigungsfeld starten.</translation>
    </message>
    <message>
        <source>Write what the router sent and the monitor typed (the password masked) to FILE when the program ends, for a bug report.</source>
        <translation>Schreibt beim Programmende, was der Router gesendet und der Monitor eingegeben hat (das Passwort unkenntlich), in DATEI, für einen Fehlerbericht.</translation>
    </message>
</context>
</TS>
