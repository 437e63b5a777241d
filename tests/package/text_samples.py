"""Generated CSV exports in many languages, for the encoding tests and bench/encoding_accuracy.py.

Each language has everyday words (names, places, goods, notes) with its accents; a record is
``id;name;city;date;amount;note``. `export(language, codec, size, seed)` gives the text of about
`size` bytes in `codec` using only words the codec can encode, so ``raw.decode(codec)`` is the
original text: Python's codecs are the oracle.
"""

from __future__ import annotations

import random

WORDS = {
    "french": "José Hélène François Chloé Noël Jérôme Zoë Besançon Orléans Châteauroux Nîmes "
    "Genève façade crème brûlée garçon élève réunion déjà fenêtre hôpital où très "
    "précédent reçu qualité livré à côté numéro cœur sœur œuvre août Noémie Gaëlle "
    "Dupont Martin rue avenue commande payée retour client produit",
    "german": "Müller Jürgen Bärbel Günther Schröder Käthe Jörg Straße München Köln Düsseldorf "
    "Nürnberg Lübeck Größe Übergabe Lieferschein Bestellung grün schön für über Grüße "
    "Fußgänger Gebühr Rückgabe Äpfel Öl Ärger Bäckerei Maß weiß Kunde Betrag offen "
    "bezahlt Zahlung Herr Frau GmbH",
    "spanish": "José María Begoña Ángel Jesús Núñez Muñoz Peña Logroño Córdoba Málaga Cádiz "
    "León Alcalá niño señor año mañana también además teléfono dirección envío "
    "pequeño está código almacén pedido cliente pagado calle número región ¿qué? ¡sí!",
    "portuguese": "João Conceição Gonçalves Estêvão Inês Antônio Luís Lourenço São Paulo Brasília "
    "Belém Maranhão Florianópolis Goiânia pão coração ação informação não então "
    "avó avô mãe cidade endereço código preço pagamento também você órgão Joana "
    "cliente pedido rua número",
    "polish": "Łukasz Paweł Wojciech Małgorzata Zażółć Grzegorz Jędrzej Kraków Łódź Gdańsk "
    "Wrocław Poznań Białystok Częstochowa Rzeszów Świnoujście zamówienie płatność "
    "dostawa faktura ulica złoty więcej będzie może też jeszcze książka żółty gęś "
    "jaźń Śląsk Żywiec Ćwikła klient kwota",
    "czech": "Jiří Dvořák Přemysl Kateřina Růžena Tomáš Šimon Žofie Čeněk Ondřej Brno Plzeň "
    "Olomouc České Budějovice Ústí Třebíč Hradec Králové objednávka zaplaceno "
    "dodávka částka ulice náměstí zákazník příliš žluťoučký kůň úpěl ďábelské ódy "
    "hřiště řeka",
    "hungarian": "Ákos Zsófia Gergő Dávid Réka Erzsébet Győr Pécs Debrecen Székesfehérvár "
    "Kecskemét Nyíregyháza Szőlő árvíztűrő tükörfúrógép rendelés számla fizetve "
    "szállítás összeg utca vevő köszönöm",
    "turkish": "Şükrü Ayşe Gülşen İbrahim Çağla Öztürk Yılmaz Doğan İstanbul İzmir Eskişehir "
    "Muğla Şanlıurfa Çanakkale sipariş ödeme teslimat müşteri tutar sokak "
    "ılık değil çünkü",
    "russian": "Иван Сергей Наталья Ольга Дмитрий Пётр Алексей Москва Санкт-Петербург "
    "Новосибирск Екатеринбург Казань Нижний Новгород заказ оплачен доставка счёт "
    "покупатель сумма улица проспект товар склад возврат ещё объём съезд",
    "ukrainian": "Олександр Юлія Сергій Євген Ірина Київ Львів Харків Одеса Дніпро Запоріжжя "
    "Вінниця замовлення оплачено доставка рахунок покупець сума вулиця їжа "
    "ґанок пʼять сім'я Україна",
    "bulgarian": "Иван Стефан Мария Георги Йордан София Пловдив Варна Бургас Русе поръчка "
    "платена доставка сметка клиент сума улица също ъгъл",
    "greek": "Γιώργος Μαρία Δημήτρης Ελένη Κωνσταντίνος Αθήνα Θεσσαλονίκη Πάτρα Ηράκλειο "
    "Λάρισα παραγγελία πληρωμή παράδοση τιμολόγιο πελάτης ποσό οδός ευχαριστώ "
    "καλημέρα σήμερα αύριο",
    "hebrew": "משה שרה דוד רחל יוסף תל אביב ירושלים חיפה באר שבע הזמנה תשלום משלוח "
    "חשבונית לקוח סכום רחוב תודה שלום",
    "arabic": "محمد أحمد فاطمة علي خديجة القاهرة الرياض دبي بغداد عمان طلب دفع شحن فاتورة "
    "عميل مبلغ شارع شكرا مرحبا",
    "thai": "สมชาย สมศรี วิชัย มาลี กรุงเทพ เชียงใหม่ ภูเก็ต ขอนแก่น คำสั่งซื้อ ชำระเงิน "
    "จัดส่ง ใบแจ้งหนี้ ลูกค้า จำนวนเงิน ถนน ขอบคุณ สวัสดี",
    "japanese": "田中 鈴木 佐藤 高橋 山本 東京 大阪 京都 名古屋 札幌 注文 支払い 配送 請求書 "
    "顧客 金額 住所 ありがとう こんにちは 株式会社 カタカナ データ",
    "chinese": "张伟 王芳 李娜 刘洋 陈静 北京 上海 广州 深圳 成都 订单 付款 发货 发票 客户 "
    "金额 地址 谢谢 你好 有限公司",
    "taiwanese": "陳建宏 林美玲 黃志明 張雅婷 臺北 高雄 臺中 臺南 新竹 訂單 付款 發貨 發票 "
    "客戶 金額 地址 謝謝 你好 有限公司",
    "korean": "김민수 이지은 박서준 최유진 서울 부산 인천 대구 광주 주문 결제 배송 청구서 "
    "고객 금액 주소 감사합니다 안녕하세요 주식회사",
    "lithuanian": "Jonas Žydrūnas Šarūnas Vilnius Kaunas Klaipėda Šiauliai Panevėžys užsakymas "
    "apmokėta pristatymas sąskaita klientas suma gatvė ačiū ąžuolas",
}
WORDS["english"] = ("don’t it’s we’re O’Brien “urgent” “paid” — – … 5°C 20° €12 £40 ½ © ® ™ "
                    "café résumé naïve Smith London order invoice paid open total shipped")
WORDS["western"] = " ".join(WORDS[k] for k in ("french", "german", "spanish", "portuguese"))
ASCII_WORDS = "Smith Jones order invoice paid open total shipped returned north south report".split()

# Where a language's text is usually found: (language, codec) pairs for the tables.
LEGACY = {
    "cp1252": ["french", "german", "spanish", "portuguese", "western", "english", "german caps"],
    "iso8859-15": ["french", "german", "spanish"],
    "latin-1": ["french", "german", "spanish", "portuguese"],
    "mac-roman": ["french", "german", "spanish", "portuguese", "western", "english", "french caps"],
    "cp850": ["french", "german", "spanish", "portuguese", "western", "spanish caps"],
    "cp437": ["french", "german", "spanish"],
    "cp1250": ["polish", "czech", "hungarian", "czech caps"],
    "iso8859-2": ["polish", "czech", "hungarian"],
    "cp1254": ["turkish"],
    "cp1257": ["lithuanian"],
    "cp1251": ["russian", "ukrainian", "bulgarian", "russian caps"],
    "koi8-r": ["russian"],
    "cp866": ["russian"],
    "cp1253": ["greek"],
    "cp1255": ["hebrew"],
    "cp1256": ["arabic"],
    "cp874": ["thai"],
    "shift_jis": ["japanese"],
    "euc-jp": ["japanese"],
    "gbk": ["chinese"],
    "big5": ["taiwanese"],
    "euc-kr": ["korean"],
}

CURRENCY = {"french": "€", "german": "€", "spanish": "€", "portuguese": "€", "polish": "zł",
            "czech": "Kč", "russian": "₽"}


def encodable(words: list[str], codec: str) -> list[str]:
    out = []
    for w in words:
        try:
            w.encode(codec)
        except UnicodeEncodeError:
            continue
        out.append(w)
    return out


def records(language: str, codec: str, rng: random.Random, first_id: int = 1):
    """Endless export lines (CRLF) of `language` that `codec` can encode ("french caps": in
    capitals, as many old systems export)."""
    language, _, caps = language.partition(" ")
    words = encodable([w.upper() if caps else w for w in WORDS[language].split()], codec)
    sign = CURRENCY.get(language, "").upper() if caps else CURRENCY.get(language, "")
    if sign and not encodable([sign], codec):
        sign = ""
    i = first_id
    while True:
        note = " ".join(rng.choice(words + ASCII_WORDS[:3]) for _ in range(rng.randint(1, 5)))
        yield (f"{i};{rng.choice(words)} {rng.choice(words)};{rng.choice(words)};"
               f"2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d};"
               f"{rng.randint(1, 99999) / 100:.2f} {sign};{note}\r\n".replace(" ;", ";"))
        i += 1


def export(language: str, codec: str, size: int, seed: int = 0) -> str:
    """A header and whole records, about `size` bytes once encoded (at least one record)."""
    rng = random.Random(f"{language}/{codec}/{size}/{seed}")
    lines = ["id;name;city;date;amount;note\r\n"]
    if codec == "mac-roman":  # classic Mac OS ends lines with CR
        lines[0] = lines[0].replace("\r\n", "\r")
    used = len(lines[0])
    for line in records(language, codec, rng):
        if codec == "mac-roman":
            line = line.replace("\r\n", "\r")
        n = len(line.encode(codec))
        if used + n > size and len(lines) > 1:
            break
        lines.append(line)
        used += n
    return "".join(lines)


def mixed(utf8_lines: int, legacy_lines: int, seed: int = 0,
          language: str = "french") -> tuple[bytes, list[str]]:
    """A UTF-8 export with `legacy_lines` Windows-1252 records appended: (raw, original lines)."""
    rng = random.Random(f"mixed/{utf8_lines}/{legacy_lines}/{seed}")
    gen = records(language, "cp1252", rng)
    head = [next(gen) for _ in range(utf8_lines)]
    tail = [next(gen) for _ in range(legacy_lines)]
    raw = "".join(head).encode() + "".join(tail).encode("cp1252")
    return raw, head + tail
