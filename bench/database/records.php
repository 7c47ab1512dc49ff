<?php
// The same work as records.kp through PDO, on the database BENCH_DSN names.
$db = new PDO(getenv('BENCH_DSN'), getenv('BENCH_USER') ?: null, getenv('BENCH_PASSWORD') ?: null);
$db->setAttribute(PDO::ATTR_ERRMODE, PDO::ERRMODE_EXCEPTION);
$db->exec('DROP TABLE IF EXISTS t');
$db->exec('CREATE TABLE t (id INTEGER PRIMARY KEY, name TEXT)');
$db->exec('CREATE INDEX t_name ON t (name)');
$db->beginTransaction();
$insert = $db->prepare('INSERT INTO t (id, name) VALUES (:id, :name)');
for ($i = 0; $i < 10000; $i++) {
    $id = ($i * 7919) % 10000;
    $insert->execute([':id' => $id, ':name' => "name $id"]);
}
$db->commit();
$find = $db->prepare('SELECT name FROM t WHERE id = :id');
$found = 0;
for ($i = 0; $i < 10000; $i++) {
    $find->execute([':id' => ($i * 104729) % 10000]);
    if ($find->fetch()) $found++;
}
$walked = 0;
foreach ($db->query('SELECT id, name FROM t ORDER BY id') as $row) $walked++;
echo "found $found walked $walked\n";
